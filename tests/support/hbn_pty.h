// A pseudo-terminal standing in for a serial device: the test holds the master (the far end)
// and keeps a slave descriptor open to read and set the port's settings.
#pragma once
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace hbntest {

class Pty {
 public:
  // Opens both ends; the line starts raw (bytes pass as they are).
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) return;
    slaveName_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return;
    termios t = settings();
    cfmakeraw(&t);
    apply(t);
    ok_ = true;
  }
  ~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return ok_; }
  int master() const { return master_; }
  const std::string& slaveName() const { return slaveName_; }
  // Makes `path` a symbolic link to the slave side; false when it could not.
  bool linkAs(const std::string& path) const { return ok_ && symlink(slaveName_.c_str(), path.c_str()) == 0; }
  termios settings() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }
  void apply(const termios& t) const { tcsetattr(slave_, TCSANOW, &t); }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
  bool ok_ = false;
};

}  // namespace hbntest
