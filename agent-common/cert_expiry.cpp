#include "cert_expiry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "hbn_path.h"
#include "tlsTerm.h"

namespace hbn {

namespace {

// Files up to this size are kept for comparison; a larger one is parsed on every call.
constexpr size_t kMaxKept = 16384;

// One reading per certificate file; an agent reads one or two.
struct Reading {
  std::string path;     // rooted path, empty while unused
  std::string content;  // the file's bytes when it was parsed
  char date[48] = {};   // "YYYY-MM-DD", room for any year the conversion gives
};

constexpr int kReadings = 4;
std::mutex gLock;
Reading gReadings[kReadings];
int gNext = 0;  // the slot a new path takes (oldest first once all are used)

// The whole file when it is at most kMaxKept bytes; false when it cannot be read or is larger.
bool readSmallFile(const std::string& path, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content->clear();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) ok = false;
    if (n <= 0) break;
    content->append(buffer, static_cast<size_t>(n));
    if (content->size() > kMaxKept) {
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

void parse(const std::string& path, char* date, size_t size) {
  struct tm notBefore, notAfter;
  date[0] = '\0';
  if (getTlsTerm(path.c_str(), &notBefore, &notAfter) == 0)
    snprintf(date, size, "%04d-%02d-%02d", notAfter.tm_year + 1900, notAfter.tm_mon + 1, notAfter.tm_mday);
}

}  // namespace

void certificateExpiry(const char* path, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  const std::string rooted = HBN_path(path);
  std::lock_guard<std::mutex> guard(gLock);
  Reading* reading = nullptr;
  for (Reading& r : gReadings)
    if (r.path == rooted) reading = &r;
  if (reading == nullptr) {
    reading = &gReadings[gNext];
    gNext = (gNext + 1) % kReadings;
    reading->path = rooted;
    reading->content.clear();
    reading->date[0] = '\0';
  }
  std::string content;
  if (!readSmallFile(rooted, &content)) {
    // Missing, unreadable or too large to keep: the library decides, nothing is kept.
    reading->content.clear();
    reading->date[0] = '\0';
    char date[sizeof reading->date];
    parse(rooted, date, sizeof date);
    snprintf(out, size, "%s", date);
    return;
  }
  if (reading->date[0] == '\0' || content != reading->content) {
    parse(rooted, reading->date, sizeof reading->date);
    reading->content.swap(content);
  }
  snprintf(out, size, "%s", reading->date);
}

}  // namespace hbn
