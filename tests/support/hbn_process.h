// A long-running child process for tests: argv and environment are built before fork, standard
// output and error go to files, and the child ends with the test (killed by the destructor, and
// by the kernel when the test process dies first).
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace hbntest {

class Process {
 public:
  Process() = default;
  ~Process() { kill(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // argv[0] without a '/' is a program of the build (binPath); programs of the build start
  // through the emulator of a cross build (programArgv). `env` entries "K=V" are added to
  // the test's environment. Output files are created or truncated. False when fork failed.
  bool start(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath,
             const std::vector<std::string>& env = {});
  // True while the process has not ended; reaps it when it has.
  bool running();
  // The exit status once it ended (128 + signal for a signal), -1 while running or never started.
  int status() const { return status_; }
  // Sends `signal` (SIGTERM by default) and waits up to `timeoutMs` for the end; true if it ended.
  bool stop(int signal, int timeoutMs);
  // SIGKILL and reap. Safe to call again.
  void kill();
  pid_t pid() const { return pid_; }

 private:
  void reaped(int waitStatus);
  pid_t pid_ = -1;
  int status_ = -1;
};

// True when process `pid` has ended: it is gone, or a zombie its (new) parent has yet to reap.
bool processGone(pid_t pid);

}  // namespace hbntest
