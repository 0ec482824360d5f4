// serial-send: writes one command line to a serial device (a modem, say) and prints what
// comes back until the line has been quiet for the chosen number of seconds.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "hbn_path.h"

#include "serial_args.h"

using namespace serialsend;

namespace {

constexpr size_t kAnswerBufferSize = 256;
constexpr size_t kPieceMax = 255;

void pauseMs(long milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Prints the answer until `quiet` read windows in a row brought nothing.
void answerLoop(int fd, int quiet) {
  const long pause = HBN_time_scaled(10);
  char answer[kAnswerBufferSize];
  int idle = 0;
  while (true) {
    char first = 0;
    ssize_t got = read(fd, &first, 1);
    if (got < 0) {
      printf("Read Error!\n");
    } else if (got == 1) {
      fwrite(&first, 1, 1, stdout);
      // Collect the rest of the burst; a burst longer than the buffer is printed in parts.
      size_t used = 0;
      bool failed = false;
      while (true) {
        if (used == sizeof answer) {
          fwrite(answer, 1, used, stdout);
          used = 0;
        }
        size_t room = sizeof answer - used;
        ssize_t piece = read(fd, answer + used, room < kPieceMax ? room : kPieceMax);
        if (piece <= 0) {
          failed = piece < 0;
          break;
        }
        used += static_cast<size_t>(piece);
        pauseMs(pause);
      }
      if (failed)
        printf("Read Error!\n");
      else
        fwrite(answer, 1, used, stdout);
      idle = 0;
    }
    fflush(stdout);
    if (++idle >= quiet) break;
    pauseMs(pause);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) {
    printf("\"send command\" is necessary.\n");
    return kFailure;
  }
  Settings settings;
  int done = parseArguments(argc, argv, &settings);
  if (done >= 0) return done;

  speed_t speed = B115200;
  if (!baudSpeed(settings.baud, &speed)) {
    printf(
        "Invalid Baudrate! Valid values are "
        "4800(B4800),9600(B9600),19200(B19200),38400(B38400),57600(B57600) "
        "and 115200(B115200).\n");
    return kFailure;
  }
  char line[kSendBufferSize];
  int length = buildLine(settings, line);
  if (length < 0) return kFailure;

  std::string device = settings.device != nullptr ? settings.device : HBN_path(serialsend::kDefaultDevice);
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    perror(device.c_str());
    return kFailure;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

  termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    printf("tcgetattr() error\n");
    close(fd);
    return kFailure;
  }
  termios port = saved;
  if (cfsetospeed(&port, speed) != 0) printf("cfsetospeed() error\n");
  if (cfsetispeed(&port, speed) != 0) printf("cfsetispeed() error\n");
  port.c_cflag = (port.c_cflag & ~CSIZE) | CS8 | CREAD | CLOCAL;
  port.c_oflag &= ~OPOST;
  port.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
  port.c_cc[VMIN] = 0;
  // One-second read window (in tenths; shortened only under a test time scale).
  long window = HBN_time_scaled(1000) / 100;
  port.c_cc[VTIME] = static_cast<cc_t>(window < 1 ? 1 : window);
  tcflush(fd, TCIFLUSH);
  if (tcsetattr(fd, TCSANOW, &port) != 0) {
    printf("tcsetattr() error\n");
    close(fd);
    return kFailure;
  }

  const bool cr = strchr(settings.terminator, 'r') != nullptr;
  const bool lf = strchr(settings.terminator, 'n') != nullptr;
  printf("\"%s%s%s\"\n", settings.command, cr ? "<CR>" : "", lf ? "<LF>" : "");
  fflush(stdout);
  if (write(fd, line, static_cast<size_t>(length)) != length) printf("Write Error!\n");

  answerLoop(fd, settings.quiet);

  tcsetattr(fd, TCSANOW, &saved);
  close(fd);
  return 0;
}
