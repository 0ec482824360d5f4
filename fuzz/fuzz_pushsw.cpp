// Push-switch driver readings: each input is a sequence of readings of /proc/kv_pushsw
// (split at line feeds, each written as the whole file), fed through the monitor's cycle the
// way the main thread polls it. Script requests go to a queue nobody reads.
#include <cstring>

#include "fuzz_root.h"
#include "pushsw.h"
#include "script_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ok = [] {
    if (fuzzroot::root().empty()) return false;
    setenv("HBN_SCRIPT_QUEUE", "/hbn_fuzz_pushsw_none", 1);
    execScriptRequestSetConsole(false);
    return true;
  }();
  if (!ok) return 0;
  pushSwitchState_t state;
  size_t start = 0;
  for (int cycle = 0; cycle < 8 && start <= size; ++cycle) {
    const void* end = memchr(data + start, '\n', size - start);
    size_t length =
        end ? static_cast<size_t>(static_cast<const uint8_t*>(end) - (data + start)) + 1 : size - start;
    if (!fuzzroot::writeFile("/proc/kv_pushsw", data + start, length)) return 0;
    int pressed = 0;
    uint32_t holdMs = 0;
    pushSwitchRead(&pressed, &holdMs);
    pushSwitchStep(&state);
    start += length;
    if (length == 0) break;
  }
  return 0;
}
