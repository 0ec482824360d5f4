// Fault injection for tests: a small tmpfs that can be filled to the last byte (a full file
// system, root only), and a program killed with SIGKILL at a chosen moment of its run.
#pragma once
#include <string>
#include <vector>

namespace hbntest {

// True when running as root. Otherwise records a skip naming `what` ("CI runs it as root"),
// or a failure when HBN_CI is set, and returns false. `if (!hbntest::needRootFor("...")) return;`
bool needRootFor(const std::string& what);

// A tmpfs of `kib` KiB mounted on `dir` (created) for the life of the object, then detached.
class SmallTmpfs {
 public:
  SmallTmpfs(const std::string& dir, int kib);
  ~SmallTmpfs();
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool ok() const { return mounted_; }
  // Fills every free byte with the file "<dir>/.filler"; true when the file system is full.
  bool fill() const;
  // Frees the filler again.
  void drain() const;

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Runs argv (argv[0] resolved by binPath when it has no '/') with extra "K=V" environment
// entries, and sends it SIGKILL `killAfterUs` microseconds after the start unless it ended
// first. The exit status, or 128 + signal (137 when the kill landed).
int runKilledAfter(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   long killAfterUs);

// Regular files in `dir` whose names start with `prefix`.
std::vector<std::string> filesStartingWith(const std::string& dir, const std::string& prefix);

}  // namespace hbntest
