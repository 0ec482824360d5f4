// Shared test fixtures: a private HBN_ROOT per test, file helpers, and running the project's
// programs as child processes with their output captured.
#pragma once
#include <string>
#include <vector>

namespace hbntest {

// Creates a fresh directory, points HBN_ROOT at it and removes it again on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const std::string& root() const { return root_; }
  // "$root" + absolute path.
  std::string path(const std::string& absolute) const { return root_ + absolute; }
  // Writes a file under the root (parents created); `mode` sets its permission bits.
  void write(const std::string& absolute, const std::string& content, int mode = 0644) const;
  std::string read(const std::string& absolute) const;
  bool exists(const std::string& absolute) const;
  void mkdirs(const std::string& absolute) const;
  // Installs an executable shell script at $root/bin/<name> that appends its arguments,
  // one line per call, to $root/record/<name> and then runs `body` (may be empty).
  void fakeCommand(const std::string& name, const std::string& body = "") const;
  // Installs $root/bin/<name> that runs the build's program `name` (see writeProgramWrapper),
  // so the code under test reaches the real program through PATH or an absolute /bin path.
  void installProgram(const std::string& name) const;
  // Lines recorded by a fake command ("" when it never ran).
  std::string recorded(const std::string& name) const;

 private:
  std::string root_;
  std::string oldRoot_;
  bool hadRoot_ = false;
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv (argv[0] resolved by binPath when it has no '/'; programs of the build through
// programArgv), with extra "K=V" environment entries, feeding `input` to its standard input.
// Kills it after `timeoutMs`.
Result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
           const std::string& input = "", int timeoutMs = 20000);
// $HBN_BUILD_BIN/<name>.
std::string binPath(const std::string& name);
// The command line that starts `argv` (argv[0] a program of the build): in a cross build the
// emulator's words (HBN_TEST_EMULATOR, e.g. "qemu-arm -L /usr/arm-linux-gnueabihf") come
// first, natively it is `argv` unchanged. Every test and fixture that starts a program of the
// build goes through here. Call it before fork(): it allocates.
std::vector<std::string> programArgv(const std::vector<std::string>& argv);
// `words` as the NULL-terminated array execv() takes; the pointers borrow from `words`.
std::vector<char*> execArgs(std::vector<std::string>& words);
// Writes an executable shell script at `path` that runs the build's program `name` (through
// the emulator in a cross build) with its own arguments, for code under test that finds
// programs on PATH or runs them through a shell.
void writeProgramWrapper(const std::string& path, const std::string& name);
// The shell words that run the build's program `name` (emulator first in a cross build), quoted
// for /bin/sh, for scripts that do more than run it (e.g. record, then run).
std::string programCommandLine(const std::string& name);
// A name unique to this process and call, for queues and files ("/hbn_test_<pid>_<n>").
std::string uniqueName(const std::string& prefix);
// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

}  // namespace hbntest
