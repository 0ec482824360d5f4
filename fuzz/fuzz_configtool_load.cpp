// Both configtool loaders on any input file: the first byte picks the settings or the
// server-settings loader, the rest is the document. The store and the error file live in a
// private root; the store is reset to empty before each input.
#include <unistd.h>

#include <string>

#include "configtool.h"
#include "fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = fuzzroot::root();
  if (root.empty() || size < 1) return 0;
  static const std::string input = root + "/tmp/in.json";
  static const std::string error = root + "/tmp/err.json";
  if (!fuzzroot::writeFile("/tmp/in.json", data + 1, size - 1)) return 0;
  if (data[0] & 1)
    configtool_loadJsonSvr(input.c_str(), error.c_str());
  else
    configtool_loadJsonCfg(input.c_str(), error.c_str());
  unlink(error.c_str());
  return 0;
}
