#include "hbn_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace hbn {

namespace {

// fsync of the folder holding `path`, so that a rename in it is on the disk.
void syncFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

FileReplacement::FileReplacement(const std::string& path, mode_t mode, bool durable)
    : path_(path), durable_(durable) {
  std::vector<char> name(path.begin(), path.end());
  const char suffix[] = ".tmp.XXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return;
  temp_ = name.data();
  if (fchmod(fd, mode) != 0 || (stream_ = fdopen(fd, "w")) == nullptr) {
    int error = errno;
    close(fd);
    unlink(temp_.c_str());
    temp_.clear();
    errno = error;
  }
}

FileReplacement::~FileReplacement() {
  if (stream_ != nullptr) fclose(stream_);
  if (!temp_.empty()) unlink(temp_.c_str());
}

bool FileReplacement::write(const void* data, size_t length) {
  if (stream_ == nullptr) return false;
  if (length > 0 && fwrite(data, 1, length, stream_) != length) failed_ = true;
  return !failed_;
}

bool FileReplacement::commit() {
  if (stream_ == nullptr) return false;
  bool ok = !failed_ && fflush(stream_) == 0 && ferror(stream_) == 0;
  if (ok && durable_) ok = fsync(fileno(stream_)) == 0;
  ok = fclose(stream_) == 0 && ok;
  stream_ = nullptr;
  int error = errno;
  if (ok && rename(temp_.c_str(), path_.c_str()) == 0) {
    temp_.clear();
    if (durable_) syncFolder(path_);
    return true;
  }
  if (ok) error = errno;
  unlink(temp_.c_str());
  temp_.clear();
  errno = error;
  return false;
}

int replaceFile(const std::string& path, const void* data, size_t length, mode_t mode, bool durable) {
  FileReplacement file(path, mode, durable);
  return file.write(data, length) && file.commit() ? 0 : -1;
}

int openLockFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace hbn
