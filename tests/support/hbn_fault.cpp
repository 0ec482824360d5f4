#include "hbn_fault.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "hbn_process.h"
#include "hbn_test.h"

namespace hbntest {

bool needRootFor(const std::string& what) {
  if (geteuid() == 0) return true;
  const std::string message = "needs root for " + what + "; CI runs it as root";
  if (getenv("HBN_CI") != nullptr)
    [&] { FAIL() << message << " (HBN_CI is set: this test must run)"; }();
  else
    [&] { GTEST_SKIP() << message; }();
  return false;
}

SmallTmpfs::SmallTmpfs(const std::string& dir, int kib) : dir_(dir) {
  for (size_t pos = 1; (pos = dir.find('/', pos)) != std::string::npos; ++pos)
    mkdir(dir.substr(0, pos).c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
  mounted_ = mount("hbntest", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
}

bool SmallTmpfs::fill() const {
  int fd = open((dir_ + "/.filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return errno == ENOSPC;
  char block[4096];
  memset(block, 'F', sizeof block);
  bool full = false;
  // Big blocks first, then single bytes, so that not even a short write finds room.
  for (size_t size : {sizeof block, size_t{1}}) {
    for (;;) {
      ssize_t n = write(fd, block, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        full = errno == ENOSPC;
        break;
      }
    }
  }
  close(fd);
  return full;
}

void SmallTmpfs::drain() const { unlink((dir_ + "/.filler").c_str()); }

int runKilledAfter(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   long killAfterUs) {
  Process p;
  if (!p.start(argv, "/dev/null", "/dev/null", env)) return -1;
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(killAfterUs);
  while (std::chrono::steady_clock::now() < until && p.running())
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  if (p.running()) ::kill(p.pid(), SIGKILL);
  p.stop(SIGKILL, 5000);
  return p.status();
}

std::vector<std::string> filesStartingWith(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> found;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return found;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) found.push_back(e->d_name);
  }
  closedir(d);
  return found;
}

}  // namespace hbntest
