// The Z-Wave agent's settings store image: the input is the file /jffs2/hbn/setting.bin as
// the store finds it at start; it is loaded (magic, size) and every reader runs over it, then
// one change is written back.
#include <cstring>

#include "fuzz_root.h"
#include "hbn_log.h"
#include "hbn_nvm.h"

namespace {
void quietSyslog(int, const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ok = [] {
    HBN_log_setSyslogHook(quietSyslog);
    return !fuzzroot::root().empty();
  }();
  if (!ok || !fuzzroot::writeFile(HBN_NVM_LIVE_PATH, data, size)) return 0;
  if (HBN_nvm_initialize(0) != 0) return 0;
  uint8_t* image = nullptr;
  int length = 0;
  if (HBN_nvm_getData(&image, &length) == 0) {
    volatile uint8_t sum = 0;
    for (int i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + image[i]);
    HBN_nvm_releaseData();
  }
  for (int node = 0; node < 240; node += 7)
    for (int cls = 0; cls < 256; cls += 17) (void)HBN_nvm_isSecureClass(node, cls);
  // Writes cost a file each: only some inputs change the store (picked by their length).
  if ((size & 7) == 3) {
    uint8_t classes[64], flags[64];
    memset(classes, 0x20, sizeof classes);
    memset(flags, 1, sizeof flags);
    HBN_nvm_setSecureClasses(data[size - 1], classes, flags, data[size - 2] % 70);
    HBN_nvm_clearNode(data[size - 3]);
  }
  // The restore request hands an image of the same shape back to the store.
  if (size == HBN_NVM_SIZE && data[size - 1] == 1) HBN_nvm_restore(data, static_cast<int>(size));
  HBN_nvm_finalize();
  return 0;
}
