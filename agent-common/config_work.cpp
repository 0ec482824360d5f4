#include "config_work.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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

// The lock file shared by every configuration run of the box's agents.
class WorkLock {
 public:
  explicit WorkLock(const char* func) {
    fd_ = open(HBN_path("/tmp/hbn_configtool.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configtool lock open fail(%d)\n", errno);
      return;
    }
    for (long waited = 0;; waited += 10) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= kLockWaitMs) break;
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
  int status = HBN_cmd_execTimeout(argv, kConfigtoolTimeoutMs);
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

}  // namespace

long runConfigDump(const char* func, ConfigDump which, const char* path, const char* topic, char* out,
                   size_t capacity) {
  static const char* const kOperations[] = {"dumpInfo", "dumpJsonSvr", "dumpJsonCfg"};
  WorkLock lock(func);
  if (!lock.held()) return -3;
  const std::string file = HBN_path(path);
  configtool(func, kOperations[which], file, "");
  long length = readWhole(file, out, capacity);
  unlink(file.c_str());
  if (length == -2) HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT payload too long:%s\n", topic);
  return length;
}

ConfigLoad runConfigLoad(const char* func, const void* payload, int length, bool server,
                         const char* errorTopic, char* errorOut, size_t capacity, long* errorLength) {
  *errorLength = 0;
  WorkLock lock(func);
  if (!lock.held()) return kLoadFailed;
  const std::string input = HBN_path("/tmp/tmpCfg.json");
  const std::string errors = HBN_path("/tmp/tmpErr.json");
  FILE* f = fopen(input.c_str(), "w");
  if (f == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configuration file open fail(%d)\n", errno);
    return kLoadFailed;
  }
  size_t written = length > 0 ? fwrite(payload, 1, static_cast<size_t>(length), f) : 0;
  if (fclose(f) != 0 || written != static_cast<size_t>(length > 0 ? length : 0)) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "configuration file write fail\n");
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
    *errorLength = n;
    return kLoadRefused;
  }
  return result == 0 ? kLoadDone : kLoadFailed;
}

void runControlCommand(const char* func, const char* commandLine, CommandLife life) {
  int status = life == kOutlivesAgent ? HBN_cmd_systemOutliving(commandLine, kControlTimeoutMs)
                                      : HBN_cmd_systemTimeout(commandLine, kControlTimeoutMs);
  if (status == -2) HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "command timeout:%s\n", commandLine);
}

}  // namespace hbn
