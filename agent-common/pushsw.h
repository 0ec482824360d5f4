// Push switch: reads the driver's 10-byte state file and turns hold times into script
// requests (kind 0 while pressed, kind 1 at release) with levels 0, 1, 3, 5, 10, 15.
#pragma once
#include <cstdint>

enum {
  PUSHSW_IDLE = 0,
  PUSHSW_PRESSED = 1,
  PUSHSW_RELEASED = 2,
  PUSHSW_CYCLE_MS = 100,
};

// What the monitor keeps between cycles.
struct pushSwitchState_t {
  int armed = 0;       // set once the switch was seen released or idle
  int pressLevel = 0;  // highest level reached during the current press
  int releaseLevel = 0;
  int pendingPress = -1;  // -1: none
  int pendingRelease = -1;
};

// Reads the driver file: 0 with *state (PUSHSW_*) and *holdMs set; -1 when the file cannot be
// opened, does not hold exactly 10 bytes, or the eight hold-time characters are not all
// hexadecimal digits (reported on standard error). Both outputs are zeroed first.
int pushSwitchRead(int* state, uint32_t* holdMs);

// One monitor cycle without its sleep: read, update the levels, send at most one request.
void pushSwitchStep(pushSwitchState_t* s);

// The main thread's loop: a cycle every 100 ms, for ever.
[[noreturn]] void pushSwitchMonitor();
