#include "handoff.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hbn_log.h"
#include "hbn_path.h"

namespace hbn {

namespace {

bool hasLineBreak(const char* text) { return strpbrk(text, "\r\n") != nullptr; }

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int writeUpdateHandoff(const char* func, const char* url, const char* checksumUrl, HandoffKind kind) {
  if (url == nullptr || checksumUrl == nullptr || hasLineBreak(url) || hasLineBreak(checksumUrl)) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "f/w update URL refused (line break)\n");
    return 0;
  }
  const std::string conf = HBN_path("/var/kv_cloudfwd.conf");
  const std::string tmp = conf + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  std::string text = std::string(url) + "\n" + checksumUrl + "\n";
  if (kind == kCertificateHandoff) text += "cert\n";
  bool ok = writeAll(fd, text);
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), conf.c_str()) != 0) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "f/w update configuration write fail\n");
    unlink(tmp.c_str());
    return 0;
  }
  int run = open(HBN_path("/var/kv_cloudfwd.run").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (run < 0) {
    unlink(conf.c_str());
    return 0;
  }
  close(run);
  return 1;
}

}  // namespace hbn
