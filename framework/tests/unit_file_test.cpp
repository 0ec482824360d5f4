#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "hbn_file.h"
#include "hbn_test.h"

namespace {

class File : public ::testing::Test {
 protected:
  void SetUp() override { sb_.mkdirs("/files"); }
  std::string path(const char* name) const { return sb_.path(std::string("/files/") + name); }
  // Names in the folder besides `except` (leftover temporary files).
  int others(const std::string& except) const {
    int n = 0;
    DIR* d = opendir(sb_.path("/files").c_str());
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && except.find(e->d_name) == std::string::npos) ++n;
    closedir(d);
    return n;
  }
  hbntest::Sandbox sb_;
};

// A link planted at the fixed name (to a file, to a missing target, to a folder) is replaced by
// the new file; its target is never written or created.
TEST_F(File, ALinkAtTheFixedNameIsReplacedNeverFollowed) {
  for (const char* target : {"victim", "missing", "folder"}) {
    SCOPED_TRACE(target);
    std::string victim = path(target);
    if (std::string(target) == "victim") sb_.write(std::string("/files/") + target, "precious");
    if (std::string(target) == "folder") mkdir(victim.c_str(), 0755);
    std::string fixed = path((std::string(target) + "-tmpCfg.json").c_str());
    ASSERT_EQ(symlink(victim.c_str(), fixed.c_str()), 0);
    ASSERT_EQ(hbn::replaceFile(fixed, "{}", 2, 0644), 0);
    struct stat st;
    ASSERT_EQ(lstat(fixed.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(sb_.read("/files/" + std::string(target) + "-tmpCfg.json"), "{}");
    if (std::string(target) == "victim") {
      EXPECT_EQ(sb_.read("/files/victim"), "precious");
    }
    if (std::string(target) == "missing") {
      EXPECT_NE(access(victim.c_str(), F_OK), 0);
    }
  }
}

// A writer that fails (its folder is gone) or is dropped before its commit leaves the old file
// whole and no temporary file behind.
TEST_F(File, AnUncommittedOrFailedWriteKeepsTheOldFile) {
  std::string fixed = path("store.txt");
  sb_.write("/files/store.txt", "old");
  {
    hbn::FileReplacement file(fixed, 0644, true);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file.write("new", 3));
  }
  EXPECT_EQ(sb_.read("/files/store.txt"), "old");
  EXPECT_EQ(others(fixed), 0);
  EXPECT_EQ(hbn::replaceFile(path("gone/store.txt"), "x", 1, 0644), -1);
  ASSERT_EQ(hbn::replaceFile(fixed, "new", 3, 0600, true), 0);
  EXPECT_EQ(sb_.read("/files/store.txt"), "new");
  EXPECT_EQ(others(fixed), 0);
}

// The lock file is created when missing and opened when it is a regular file; a link (even to a
// regular file, which is left as it is) or a folder is refused.
TEST_F(File, LockFileIsNeverALink) {
  std::string lock = path("hbn_configtool.lock");
  int fd = hbn::openLockFile(lock);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
  fd = hbn::openLockFile(lock);
  EXPECT_GE(fd, 0);
  close(fd);

  std::string target = path("target");
  std::string linked = path("linked.lock");
  ASSERT_EQ(symlink(target.c_str(), linked.c_str()), 0);
  errno = 0;
  EXPECT_EQ(hbn::openLockFile(linked), -1);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link's target was created";
  std::string folder = path("folder.lock");
  mkdir(folder.c_str(), 0755);
  errno = 0;
  EXPECT_EQ(hbn::openLockFile(folder), -1);
}

}  // namespace
