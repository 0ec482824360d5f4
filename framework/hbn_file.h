// Files at fixed paths written as one step. A file is written under a private temporary name in
// its own folder ("<path>.tmp.XXXXXX", made exclusively) and renamed over the fixed name at the
// end: a reader sees the old or the new content whole, and a link planted at the fixed name is
// replaced, never followed. A writer that fails or is killed leaves the old file as it was.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace hbn {

class FileReplacement {
 public:
  // Creates the temporary file beside `path` with `mode` (the umask applies). With `durable`,
  // commit() also flushes the file and its folder to the disk, so the rename survives a power cut.
  FileReplacement(const std::string& path, mode_t mode, bool durable = false);
  // Removes the temporary file unless it was committed.
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // False when the temporary file could not be made (errno tells why).
  bool ok() const { return stream_ != nullptr; }
  // The stream to write to (null when !ok()).
  FILE* stream() const { return stream_; }
  // Writes `length` bytes; false on a failed write.
  bool write(const void* data, size_t length);
  // Closes the file and renames it over the fixed path. True when every write, the close and
  // the rename succeeded; otherwise the temporary file is removed and the old file stays.
  bool commit();

 private:
  std::string path_, temp_;
  FILE* stream_ = nullptr;
  bool durable_;
  bool failed_ = false;
};

// The whole of `data` as the new content of `path` (see FileReplacement); 0, or -1.
int replaceFile(const std::string& path, const void* data, size_t length, mode_t mode, bool durable = false);

// Opens the lock file at the fixed `path` for flock(): created when missing, never through a
// link, and only when what is there is a regular file. The descriptor (close-on-exec), or -1
// with errno set (ELOOP for a link, EINVAL for anything else that is not a regular file).
int openLockFile(const std::string& path);

}  // namespace hbn
