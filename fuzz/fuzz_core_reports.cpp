// Report parsers and classification on their own: first byte picks the entry, the rest is
// the command or the report data.
#include <cstring>
#include <vector>

#include "fuzz_env.h"
#include "hbn_core_thread.h"
#include "hbn_zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzenv::NoWait noWait;
  if (!fuzzenv::start() || size < 2) return 0;
  const int node = data[1];
  // An exact-size heap copy, so that any read past the end is caught.
  std::vector<uint8_t> body(data + 2, data + size);
  uint8_t* bytes = body.empty() ? nullptr : body.data();
  const int length = static_cast<int>(body.size());
  if (data[0] & 0x80) {
    const uint8_t* report = nullptr;
    int reportLength = 0;
    int kind = HBN_core_zipClassify(bytes, length, &report, &reportLength);
    if (kind != HBN_ZIP_KIND_NONE) HBN_core_threadDispatch(kind, node, report, reportLength);
  } else {
    HBN_core_threadDispatch(data[0] % 20 + 1, node, bytes, length);
  }
  fuzzenv::drain();
  return 0;
}
