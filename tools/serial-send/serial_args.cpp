#include "serial_args.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace serialsend {

const char kDefaultDevice[] = "/dev/ttyUSB0";

namespace {

constexpr const char* kDefaultBaud = "B115200";
constexpr int kDefaultQuiet = 3;
constexpr const char* kDefaultTerminator = "rn";
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

}  // namespace

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

int buildLine(const Settings& settings, char* line) {
  if (settings.command == nullptr) {
    printf("\"send command\" is NULL!\n");
    return -1;
  }
  if (strlen(settings.command) > kCommandMax) {
    printf("\"send command\" is too long (more than %zu characters).\n", kCommandMax);
    return -1;
  }
  const bool cr = strchr(settings.terminator, 'r') != nullptr;
  const bool lf = strchr(settings.terminator, 'n') != nullptr;
  return snprintf(line, kSendBufferSize, "%s%s%s", settings.command, cr ? "\r" : "", lf ? "\n" : "");
}

}  // namespace serialsend
