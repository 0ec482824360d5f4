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

namespace {

const char kDefaultDevice[] = "/dev/ttyUSB0";
const char kDefaultBaud[] = "B115200";
constexpr int kDefaultQuiet = 3;
const char kDefaultTerminator[] = "rn";

constexpr size_t kDeviceMax = 19;
constexpr size_t kCommandMax = 255;
constexpr size_t kSendBufferSize = 260;
constexpr size_t kAnswerBufferSize = 256;
constexpr size_t kPieceMax = 255;

constexpr int kFailure = 255;  // exit(-1) as the caller sees it

struct Settings {
  const char* device = nullptr;  // nullptr: the default device
  const char* baud = kDefaultBaud;
  int quiet = kDefaultQuiet;
  const char* terminator = kDefaultTerminator;
  const char* command = nullptr;
};

void printHelp(const char* program) {
  printf(">help\n  usage: %s \"send command\" (option: [-d][-b][-t][-l][-h(--help)])\n", program);
  printf("    d: device (ex. /dev/ttyUSB0)  def. %s\n", kDefaultDevice);
  printf("    b: baudrate (Valid values are 4800(B4800),9600(B9600),19200(B19200),\n");
  printf("                  38400(B38400),57600(B57600) and 115200(B115200))  def. %s\n", kDefaultBaud);
  printf("    t: wait time(s) before terminating the command.  def. %d\n", kDefaultQuiet);
  printf("    l: line terminator (\"r\" or \"n\" or \"rn\")  def. \"%s\"\n", kDefaultTerminator);
  printf("                        \"r\" means <CR>, \"n\" means <LF>\n");
  printf("    h: this help (--help)\n");
}

// A whole positive decimal number of seconds.
bool parseQuiet(const char* text, int* seconds) {
  if (text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value <= 0 || value > INT_MAX) return false;
  *seconds = static_cast<int>(value);
  return true;
}

bool baudSpeed(const char* word, speed_t* speed) {
  static const struct {
    const char* plain;
    const char* named;
    speed_t speed;
  } kRates[] = {{"4800", "B4800", B4800},    {"9600", "B9600", B9600},    {"19200", "B19200", B19200},
                {"38400", "B38400", B38400}, {"57600", "B57600", B57600}, {"115200", "B115200", B115200}};
  for (const auto& rate : kRates) {
    if (strcmp(word, rate.plain) == 0 || strcmp(word, rate.named) == 0) {
      *speed = rate.speed;
      return true;
    }
  }
  return false;
}

// Returns -1 to go on, otherwise the exit status.
int parseArguments(int argc, char** argv, Settings* settings) {
  const char* program = argc > 0 ? argv[0] : "serial-send";
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      settings->command = arg;
      continue;
    }
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
      printHelp(program);
      return 0;
    }
    bool takesValue =
        strcmp(arg, "-d") == 0 || strcmp(arg, "-b") == 0 || strcmp(arg, "-t") == 0 || strcmp(arg, "-l") == 0;
    if (!takesValue) {
      printf("wrong option: %s\n", arg);
      return kFailure;
    }
    if (i + 1 >= argc) continue;  // a value-less option at the end keeps its default
    const char* value = argv[++i];
    switch (arg[1]) {
      case 'd':
        if (strlen(value) > kDeviceMax) {
          printf("wrong -d option: %s, the device path is longer than %zu characters.\n", value, kDeviceMax);
          return kFailure;
        }
        settings->device = value;
        break;
      case 'b':
        settings->baud = value;
        break;
      case 't':
        if (!parseQuiet(value, &settings->quiet)) {
          printf("wrong -t option: %s\n", value);
          return kFailure;
        }
        break;
      case 'l':
        if (strcmp(value, "r") != 0 && strcmp(value, "n") != 0 && strcmp(value, "rn") != 0) {
          printf("wrong -l option: %s, valid option is \"r\" or \"n\" or \"rn\".\n", value);
          return kFailure;
        }
        settings->terminator = value;
        break;
    }
  }
  return -1;
}

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
  if (settings.command == nullptr) {
    printf("\"send command\" is NULL!\n");
    return kFailure;
  }
  if (strlen(settings.command) > kCommandMax) {
    printf("\"send command\" is too long (more than %zu characters).\n", kCommandMax);
    return kFailure;
  }

  std::string device = settings.device != nullptr ? settings.device : HBN_path(kDefaultDevice);
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
  char line[kSendBufferSize];
  int length = snprintf(line, sizeof line, "%s%s%s", settings.command, cr ? "\r" : "", lf ? "\n" : "");
  if (write(fd, line, static_cast<size_t>(length)) != length) printf("Write Error!\n");

  answerLoop(fd, settings.quiet);

  tcsetattr(fd, TCSANOW, &saved);
  close(fd);
  return 0;
}
