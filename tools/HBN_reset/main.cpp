// HBN_reset <tty>: resets the Z-Wave controller chip to its factory defaults.
#include <cstdio>

#include "hbn_path.h"
#include "hbn_reset.h"
#include "serial_port.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    puts("usage:HBN_reset tty");
    return 1;
  }
  hbnreset::Timing timing;
  timing.openRetryMs = HBN_time_scaled(timing.openRetryMs);
  timing.answerLimitMs = HBN_time_scaled(timing.answerLimitMs);
  timing.checkRetryMs = HBN_time_scaled(timing.checkRetryMs);
  timing.setDefaultWaitMs = HBN_time_scaled(timing.setDefaultWaitMs);
  LinuxSerialPort port;
  return hbnreset::run(port, argv[1], stdout, timing);
}
