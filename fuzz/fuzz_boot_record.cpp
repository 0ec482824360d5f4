// bankctl on any boot setting record: the first byte picks the command, the rest is what the
// block device holds (the tool reads and rewrites its first 32 bytes).
#include <cstdio>
#include <string>

#include "bankctl.h"
#include "fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = freopen("/dev/null", "w", stdout);
  (void)quiet;
  if (fuzzroot::root().empty() || size < 1) return 0;
  static const char* kCommands[] = {"show",    "bank1", "bank2", "success", "con_on",
                                    "con_off", "dump",  "erase", "bogus"};
  if (!fuzzroot::writeFile("/dev/mtdblock3", data + 1, size - 1)) return 0;
  char program[] = "bankctl";
  std::string command = kCommands[data[0] % (sizeof kCommands / sizeof kCommands[0])];
  char* argv[] = {program, &command[0], nullptr};
  bankctl_main(2, argv);
  return 0;
}
