#include "handoff.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hbn_file.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"

namespace hbn {

namespace {

bool hasLineBreak(const char* text) { return strpbrk(text, "\r\n") != nullptr; }

// A hand-off in progress in another agent finishes within milliseconds; this is only a bound.
constexpr int kLockWaitMs = 1000;

// The agents' hand-offs one at a time, so a trigger is created right after its own document.
// Without the lock (it could not be opened or another writer holds it too long) the hand-off
// still goes ahead: each document is whole whatever happens.
class HandoffLock {
 public:
  HandoffLock() {
    fd_ = openLockFile(HBN_path("/var/kv_cloudfwd.lock"));
    for (int waited = 0; fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0 && waited < kLockWaitMs; waited += 5)
      HBN_thread_sleep(5);
  }
  ~HandoffLock() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_ = -1;
};

}  // namespace

int writeUpdateHandoff(const char* func, const char* url, const char* checksumUrl, HandoffKind kind) {
  if (url == nullptr || checksumUrl == nullptr || hasLineBreak(url) || hasLineBreak(checksumUrl)) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "f/w update URL refused (line break)\n");
    return 0;
  }
  std::string text = std::string(url) + "\n" + checksumUrl + "\n";
  if (kind == kCertificateHandoff) text += "cert\n";
  HandoffLock lock;
  // Each writer has a temporary file of its own; the rename is the only step others can see.
  const std::string conf = HBN_path("/var/kv_cloudfwd.conf");
  if (replaceFile(conf, text.data(), text.size(), 0644) != 0) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "f/w update configuration write fail\n");
    return 0;
  }
  if (replaceFile(HBN_path("/var/kv_cloudfwd.run"), "", 0, 0644) != 0) {
    unlink(conf.c_str());
    return 0;
  }
  return 1;
}

}  // namespace hbn
