// Logging and build version. Each call formats into its own stack buffer and hands the whole
// line to one fputs() and one syslog(), so threads never share a buffer.
#include "hbn_log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <syslog.h>

#include "hbn_path.h"

namespace {

constexpr size_t kLineSize = 2048;
constexpr const char* kTag = "HBN";
constexpr char kLetters[] = {'D', 'I', 'W', 'E'};
constexpr int kPriorities[] = {LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERR};

std::atomic<int> g_facility{0};
std::atomic<bool> g_debugToSyslog{true};
std::atomic<HBN_log_syslogHook_t> g_syslogHook{nullptr};
std::atomic<HBN_log_clockHook_t> g_clockHook{nullptr};

// Out-of-range levels are a caller bug; keep them inside the tables instead of reading past them.
int clampLevel(int level) {
  if (level < HBN_LOG_DEBUG) return HBN_LOG_DEBUG;
  if (level > HBN_LOG_ERROR) return HBN_LOG_ERROR;
  return level;
}

// Whether a system logger's socket exists. Without one, syslog() creates, connects and closes
// a socket for every line only to drop it, so a line is then not handed to it at all. Once seen,
// the logger is used without looking again (syslog() itself reconnects); while it is missing,
// its socket is looked for again at most once a second, so a logger that starts later gets the
// lines from its first second on.
constexpr long long kLoggerLookMs = 1000;
std::atomic<int> g_loggerThere{-1};          // -1 not looked yet, 0 missing, 1 there
std::atomic<long long> g_loggerLookedMs{0};  // monotonic time of the last look while missing

bool systemLoggerThere() {
  int there = g_loggerThere.load(std::memory_order_relaxed);
  if (there == 1) return true;
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nowMs = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  if (there == 0 && nowMs - g_loggerLookedMs.load(std::memory_order_relaxed) < kLoggerLookMs) return false;
  g_loggerLookedMs.store(nowMs, std::memory_order_relaxed);
  struct stat st;
  there = stat(_PATH_LOG, &st) == 0 || errno != ENOENT ? 1 : 0;
  g_loggerThere.store(there, std::memory_order_relaxed);
  return there == 1;
}

void toSyslog(int priority, const char* line) {
  HBN_log_syslogHook_t hook = g_syslogHook.load();
  if (hook != nullptr) {
    hook(priority, line);
  } else if (systemLoggerThere()) {
    syslog(priority, "%s", line);
  }
}

void emit(int level, const char* line) {
  fputs(line, stderr);
  if (level == HBN_LOG_DEBUG && !g_debugToSyslog.load()) return;
  toSyslog(kPriorities[level] | g_facility.load(), line);
}

// Appends the caller's text after a prefix of `used` characters (snprintf's result, which may
// exceed the buffer when a function name is absurdly long).
__attribute__((format(printf, 3, 0))) void finish(char* line, int used, const char* format, va_list args) {
  if (used < 0) {
    used = 0;
    line[0] = '\0';
  }
  if (static_cast<size_t>(used) >= kLineSize - 1) return;
  vsnprintf(line + used, kLineSize - static_cast<size_t>(used), format, args);
}

}  // namespace

void HBN_log_setFacility(int facility) { g_facility.store(facility); }

void HBN_log_setDebugToSyslog(bool on) { g_debugToSyslog.store(on); }

void HBN_log_setSyslogHook(HBN_log_syslogHook_t hook) { g_syslogHook.store(hook); }

void HBN_log_setClockHook(HBN_log_clockHook_t hook) { g_clockHook.store(hook); }

void HBN_log_print(int level, const char* format, ...) {
  level = clampLevel(level);
  char line[kLineSize];
  int used = snprintf(line, sizeof line, "%s-%c:", kTag, kLetters[level]);
  va_list args;
  va_start(args, format);
  finish(line, used, format, args);
  va_end(args);
  emit(level, line);
}

void HBN_log_printAt(int level, const char* func, int line, const char* format, ...) {
  level = clampLevel(level);
  struct timespec now = {};
  HBN_log_clockHook_t clock = g_clockHook.load();
  if (clock != nullptr) {
    clock(&now);
  } else {
    clock_gettime(CLOCK_MONOTONIC, &now);
  }
  char text[kLineSize];
  int used = snprintf(text, sizeof text, "%s-%c/%6ld.%03ld/%s[%d]:", kTag, kLetters[level],
                      static_cast<long>(now.tv_sec), static_cast<long>(now.tv_nsec / 1000000),
                      func != nullptr ? func : "", line);
  va_list args;
  va_start(args, format);
  finish(text, used, format, args);
  va_end(args);
  emit(level, text);
}

void HBN_log_dump(const char* data, size_t length) {
  if (data == nullptr) return;
  // printf precision is an int; a longer dump is cut rather than misread.
  int count = length > 0x7fffffff ? 0x7fffffff : static_cast<int>(length);
  fprintf(stderr, "%.*s\n", count, data);
  if (!g_debugToSyslog.load()) return;
  int priority = g_facility.load() | LOG_DEBUG;
  HBN_log_syslogHook_t hook = g_syslogHook.load();
  if (hook != nullptr) {
    std::string copy(data, strnlen(data, length));
    hook(priority, copy.c_str());
  } else if (systemLoggerThere()) {
    syslog(priority, "%.*s", count, data);
  }
}

void HBN_util_getBuildVersion(char* dest) {
  if (dest == nullptr) return;
  FILE* file = fopen(HBN_path("/etc/build.info").c_str(), "r");
  if (file == nullptr) return;
  char line[512];
  if (fgets(line, sizeof line, file) != nullptr) {
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
    memcpy(dest, line, length + 1);
  } else {
    memcpy(dest, "01.00.03.01", 12);
  }
  fclose(file);
}
