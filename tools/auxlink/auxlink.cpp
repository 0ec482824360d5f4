// auxlink: sends one command line to the sub-MCU on its serial port and returns at once.
// It only writes; the sub-MCU's replies are not read.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "hbn_path.h"

namespace {

const char* commandFor(int option) {
  switch (option) {
    case 'b':
      return "$KIDOU\r\n";
    case 'h':
      return "$SET_HEARTBEAT\r\n";
    case 'e':
      return "$SET_HEARTBEAT_EN\r\n";
    case 'E':
      return "$SET_HEARTBEAT_DI\r\n";
    case 'r':
      return "$SET_HARDRESET\r\n";
    case 'g':
      return "$GET_STATUS\r\n";
    default:
      return nullptr;
  }
}

// A port found at 9600 baud is moved to 38400 after a one-second pause: the sub-MCU
// comes up at 9600 and needs that long before it takes the faster speed.
// Returns 0, or 1 after printing the failure.
int prepare(int fd) {
  termios settings;
  if (tcgetattr(fd, &settings) != 0) {
    printf("ERR:get device attr fail\n");
    return 1;
  }
  if (cfgetospeed(&settings) != B9600) return 0;

  long waitMs = HBN_time_scaled(1000);
  timespec pause{waitMs / 1000, (waitMs % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  cfsetispeed(&settings, B38400);
  cfsetospeed(&settings, B38400);
  settings.c_cflag = (settings.c_cflag & ~CSIZE) | CS8 | CREAD | CLOCAL;
  if (tcflush(fd, TCIFLUSH) != 0) {
    printf("ERR:device flush fail\n");
    return 1;
  }
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    printf("ERR:set device attr fail\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Options count left to right: the first selects, the next cancels, and so on; an
  // unknown option cancels and ends the parsing.
  const char* command = nullptr;
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, "bheErg")) != -1) {
    const char* selected = commandFor(option);
    if (selected == nullptr) {
      command = nullptr;
      break;
    }
    command = command == nullptr ? selected : nullptr;
  }
  if (optind < argc || command == nullptr) {
    printf("Usage: %s <-b | -h | -e | -E | -r | -g>\n", argc > 0 ? argv[0] : "auxlink");
    return 1;
  }

  std::string device = HBN_path("/dev/ttyS1");
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) {
    printf("WAR:device open fail.\n");
    return 1;
  }
  if (prepare(fd) != 0) {
    close(fd);
    return 1;
  }
  size_t length = strlen(command);
  ssize_t written = write(fd, command, length);
  if (written != static_cast<ssize_t>(length))
    printf("ERR:command send fail(%d)\n", static_cast<int>(written));
  close(fd);
  return 0;
}
