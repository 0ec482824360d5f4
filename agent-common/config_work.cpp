#include "config_work.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "hbn_file.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"

namespace hbn {

namespace {

// configtool runs in tens of milliseconds; a run that takes longer than this is stuck.
constexpr long kConfigtoolTimeoutMs = 30000;
// A waiter may have to let one full run of someone else go first.
constexpr long kLockWaitMs = kConfigtoolTimeoutMs + 5000;
constexpr long kControlTimeoutMs = 120000;
// Bounds shrink under a test time scale, as far as HBN_time_scaledBound lets them.
long bound(long milliseconds) { return HBN_time_scaledBound(milliseconds); }

// The lock file shared by every configuration run of the box's agents. It is never removed and
// never opened through a link.
class WorkLock {
 public:
  explicit WorkLock(const char* func) {
    fd_ = openLockFile(HBN_path("/tmp/hbn_configtool.lock"));
    if (fd_ < 0) {
      HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configtool lock open fail(%d)\n", errno);
      return;
    }
    for (long waited = 0;; waited += 10) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= bound(kLockWaitMs)) break;
      HBN_thread_sleep(10);
    }
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configtool busy\n");
  }
  ~WorkLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// configtool with its arguments, no shell in between; its result as the command's exit status,
// -1 when it did not run to its end.
int configtool(const char* func, const char* operation, const std::string& first, const std::string& second) {
  const char* argv[] = {"configtool", operation, first.c_str(), second.empty() ? nullptr : second.c_str(),
                        nullptr};
  int status = HBN_cmd_execTimeout(argv, bound(kConfigtoolTimeoutMs));
  if (status < 0 || !WIFEXITED(status)) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configtool %s fail(%d)\n", operation, status);
    return -1;
  }
  return WEXITSTATUS(status);
}

// Reads the whole file into `out`; its length, -1 when it cannot be opened, -2 when too long.
long readWhole(const std::string& path, char* out, size_t capacity) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  size_t length = 0;
  bool fits = true;
  // Line by line, joined unchanged.
  char line[2048];
  while (fgets(line, sizeof line, f) != nullptr) {
    size_t n = strlen(line);
    if (length + n + 1 > capacity) {
      fits = false;
      break;
    }
    memcpy(out + length, line, n);
    length += n;
  }
  fclose(f);
  if (capacity > 0) out[fits ? length : 0] = '\0';
  return fits ? static_cast<long>(length) : -2;
}

// True when `text` holds one whole JSON object: it opens with "{", its brackets close in turn
// outside strings and nothing but white space follows the last one. configtool writes its
// documents whole or not at all; this catches one that was cut short (or is empty) without
// building a tree of a document up to 64 KiB long.
bool wholeJson(const char* text, long length) {
  long at = 0;
  while (at < length && isspace(static_cast<unsigned char>(text[at]))) ++at;
  if (at >= length || text[at] != '{') return false;
  int depth = 0;
  bool inString = false, escaped = false;
  for (; at < length; ++at) {
    char c = text[at];
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) break;
    }
  }
  if (depth != 0 || at >= length) return false;
  for (++at; at < length; ++at)
    if (!isspace(static_cast<unsigned char>(text[at]))) return false;
  return true;
}

}  // namespace

const char kLoadNotDoneDocument[] = "{\"setting_error\":\"設定を保存できませんでした\"}\n";

long runConfigDump(const char* func, ConfigDump which, const char* path, const char* topic, char* out,
                   size_t capacity) {
  static const char* const kOperations[] = {"dumpInfo", "dumpJsonSvr", "dumpJsonCfg"};
  WorkLock lock(func);
  if (!lock.held()) return -3;
  const std::string file = HBN_path(path);
  // What is at the path (a stale dump, a planted link) goes first: configtool makes it anew.
  unlink(file.c_str());
  int status = configtool(func, kOperations[which], file, "");
  long length = readWhole(file, out, capacity);
  unlink(file.c_str());
  // Only a whole document goes out: configtool succeeded, the JSON dumps parse and the report
  // is not empty. Otherwise nothing is published; the cloud asks again.
  const char* reason = nullptr;
  if (length == -2)
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT payload too long:%s\n", topic);
  else if (status != 0)
    reason = "configtool";
  else if (length < 0)
    reason = "no file";
  else if (length == 0)
    reason = "empty";
  else if (which != kDumpInfo && !wholeJson(out, length))
    reason = "not whole";
  if (reason != nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configuration dump fail(%s):%s\n", reason, topic);
    return -1;
  }
  return length;
}

ConfigLoad runConfigLoad(const char* func, const void* payload, int length, bool server,
                         const char* errorTopic, char* errorOut, size_t capacity, long* errorLength) {
  *errorLength = 0;
  WorkLock lock(func);
  if (!lock.held()) return kLoadFailed;
  const std::string input = HBN_path("/tmp/tmpCfg.json");
  const std::string errors = HBN_path("/tmp/tmpErr.json");
  // Written fresh and renamed into place: a link planted at the fixed name is replaced.
  if (replaceFile(input, payload, length > 0 ? static_cast<size_t>(length) : 0, 0600) != 0) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configuration file write fail(%d)\n", errno);
    return kLoadFailed;
  }
  unlink(errors.c_str());
  int result = configtool(func, server ? "loadJsonSvr" : "loadJsonCfg", input, errors);
  long n = readWhole(errors, errorOut, capacity);
  if (n != -1) {
    unlink(errors.c_str());
    if (n == -2) {
      HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT payload too long:%s\n", errorTopic);
      return kLoadFailed;
    }
    if (!wholeJson(errorOut, n)) {
      HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configuration error document not whole:%s\n",
                      errorTopic);
      *errorOut = '\0';
      return kLoadFailed;
    }
    *errorLength = n;
    return kLoadRefused;
  }
  if (result != 0)
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configuration load fail(%d):%s\n", result, errorTopic);
  return result == 0 ? kLoadDone : kLoadFailed;
}

void runControlCommand(const char* func, const char* commandLine, CommandLife life) {
  const long limit = bound(kControlTimeoutMs);
  int status = life == CommandLife::kOutlivesCaller ? HBN_cmd_systemOutliving(commandLine, limit)
                                                    : HBN_cmd_systemTimeout(commandLine, limit);
  if (status == -2) HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "command timeout:%s\n", commandLine);
}

}  // namespace hbn
