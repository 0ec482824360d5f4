// The platform seam: what the programs ask of the machine, in one place. The monotonic clock and
// sleeps, timed waits on descriptors, bounded commands, the path root and the network
// interfaces all go through platform(). The programs run on the Linux implementation, whose
// settings come from the environment (HBN_ROOT: the path root; HBN_TIME_SCALE: the test time
// scale); tests and fuzz harnesses install their own (setPlatform) before the code under test
// runs. The framework's functions (HBN_path, HBN_time_*, HBN_thread_sleep, HBN_cmd_*, the queue
// waits) are thin code over it.
#pragma once
#include <poll.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace hbn {

// Whether a command ends with the process that started it (the default) or goes on (a reboot).
enum class CommandLife { kEndsWithCaller, kOutlivesCaller };

class Platform {
 public:
  virtual ~Platform() = default;
  // Monotonic milliseconds of the machine (not scaled).
  virtual long long monotonicMs() = 0;
  // The test time scale: the system's own timers run this many times faster (1 on the box).
  virtual long timeScale() = 0;
  // Sleeps `ms` milliseconds of the machine.
  virtual void sleepMs(long ms) = 0;
  // poll() on `count` descriptors for at most `timeoutMs` (< 0: without a limit).
  virtual int poll(struct pollfd* fds, nfds_t count, int timeoutMs) = 0;
  // Runs `commandLine` through the shell, or (when it is null) `argv` found on the path with no
  // shell; ended, with everything it started, after `timeoutMs` (<= 0: no limit). The wait
  // status, -1 when it could not run, -2 after the limit.
  virtual int command(const char* commandLine, const char* const argv[], long timeoutMs,
                      CommandLife life) = 0;
  // The path root prefixed to fixed platform paths ("" for none); valid until the root changes.
  virtual const char* root() = 0;
  // Whether the network interface exists ("/sys/class/net/<name>" under the root).
  virtual bool interfaceExists(const char* ifname) = 0;
};

// The process's platform.
Platform& platform();
// Installs `replacement` for the whole process; null brings back the Linux implementation. The
// caller keeps it alive while installed.
void setPlatform(Platform* replacement);

// The machine itself.
class LinuxPlatform : public Platform {
 public:
  long long monotonicMs() override;
  long timeScale() override;
  void sleepMs(long ms) override;
  int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;
  int command(const char* commandLine, const char* const argv[], long timeoutMs, CommandLife life) override;
  const char* root() override;
  bool interfaceExists(const char* ifname) override;
};

// A platform for tests: a clock that moves only when told (advance) or when the code sleeps or
// waits, waits that never block (a poll looks once; with nothing ready the clock moves by its
// time-out), commands answered by `commands` (exit status 0 without one, nothing run), a fixed
// root and a fixed set of interfaces.
class TestPlatform : public Platform {
 public:
  using CommandHandler =
      std::function<int(const char* commandLine, const char* const argv[], long timeoutMs)>;

  void advance(long ms) { now_ += ms; }
  void setScale(long scale) { scale_ = scale > 0 ? scale : 1; }
  void setRoot(const std::string& root);
  void setCommands(CommandHandler handler);
  void addInterface(const std::string& ifname);

  long long monotonicMs() override { return now_.load(); }
  long timeScale() override { return scale_.load(); }
  void sleepMs(long ms) override { advance(ms > 0 ? ms : 0); }
  int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;
  int command(const char* commandLine, const char* const argv[], long timeoutMs, CommandLife life) override;
  const char* root() override;
  bool interfaceExists(const char* ifname) override;

 private:
  std::atomic<long long> now_{0};
  std::atomic<long> scale_{1};
  std::mutex lock_;
  std::string root_;
  CommandHandler commands_;
  std::set<std::string> interfaces_;
};

}  // namespace hbn
