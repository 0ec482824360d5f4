#include "serial_port.h"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

LinuxSerialPort::~LinuxSerialPort() { close(); }

bool LinuxSerialPort::open(const char* path) {
  // O_NONBLOCK keeps the open itself from waiting for a carrier; the writes that follow
  // are blocking again so a frame goes out whole.
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  return true;
}

bool LinuxSerialPort::saveSettings() { return tcgetattr(fd_, &saved_) == 0; }

bool LinuxSerialPort::flushInput() { return tcflush(fd_, TCIFLUSH) == 0; }

bool LinuxSerialPort::applySettings() {
  termios t{};
  t.c_cflag = CS8 | CREAD | CLOCAL;
  t.c_iflag = IGNPAR;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  return tcsetattr(fd_, TCSANOW, &t) == 0;
}

bool LinuxSerialPort::restoreSettings() { return tcsetattr(fd_, TCSANOW, &saved_) == 0; }

void LinuxSerialPort::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int LinuxSerialPort::write(const uint8_t* data, size_t length) {
  ssize_t n;
  do {
    n = ::write(fd_, data, length);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int LinuxSerialPort::readByte(uint8_t* byte, long timeoutMs) {
  long long deadline = nowMs() + (timeoutMs > 0 ? timeoutMs : 0);
  for (;;) {
    long long left = deadline - nowMs();
    if (left < 0) left = 0;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) return 0;
    if (p.revents & POLLIN) {
      ssize_t n = ::read(fd_, byte, 1);
      if (n == 1) return 1;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
      // A readable port that gave nothing: the other end went away.
      if (n == 0 && (p.revents & POLLHUP)) return -1;
      if (left == 0) return 0;
      continue;
    }
    return -1;  // POLLHUP, POLLERR or POLLNVAL without data
  }
}

long long LinuxSerialPort::nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void LinuxSerialPort::sleepMs(long milliseconds) {
  if (milliseconds <= 0) return;
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
