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
std::atomic<bool> g_facilityFixed{false};
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

bool needsEscape(unsigned char c) { return c < 0x20 || c == 0x7f; }

// `c` as it is written into a line; its length (1, 2 or 4).
size_t escapeByte(unsigned char c, char out[4]) {
  static const char kHex[] = "0123456789abcdef";
  if (!needsEscape(c)) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  out[0] = '\\';
  if (c == '\n' || c == '\r' || c == '\t') {
    out[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
    return 2;
  }
  out[1] = 'x';
  out[2] = kHex[c >> 4];
  out[3] = kHex[c & 15];
  return 4;
}

// Escapes the message of `line` (from `from` on) in place, within the line buffer. The line's
// own final line feed (the format's last character) stays; a message that was `cut` to the
// buffer has none of its own, so all of it is text and a line feed is added.
void escapeMessage(char* line, size_t from, bool cut) {
  size_t length = strlen(line);
  if (from > length) return;
  bool lineFeed = !cut && length > from && line[length - 1] == '\n';
  bool endsLine = lineFeed || cut;
  size_t end = lineFeed ? length - 1 : length;
  const size_t limit = kLineSize - 1 - (endsLine ? 1 : 0);
  if (end > limit) end = limit;
  size_t at = from;
  while (at < end && !needsEscape(static_cast<unsigned char>(line[at]))) ++at;
  if (at < end) {
    char tail[kLineSize];
    size_t tailLength = end - at;
    memcpy(tail, line + at, tailLength);
    for (size_t i = 0; i < tailLength; ++i) {
      char piece[4];
      size_t n = escapeByte(static_cast<unsigned char>(tail[i]), piece);
      if (at + n > limit) break;
      memcpy(line + at, piece, n);
      at += n;
    }
  }
  if (endsLine) line[at++] = '\n';
  line[at] = '\0';
}

// Appends the caller's text after a prefix of `used` characters (snprintf's result, which may
// exceed the buffer when a function name is absurdly long), escaped.
__attribute__((format(printf, 3, 0))) void finish(char* line, int used, const char* format, va_list args) {
  if (used < 0) {
    used = 0;
    line[0] = '\0';
  }
  if (static_cast<size_t>(used) >= kLineSize - 1) return;
  size_t room = kLineSize - static_cast<size_t>(used);
  int wanted = vsnprintf(line + used, room, format, args);
  escapeMessage(line, static_cast<size_t>(used), wanted >= 0 && static_cast<size_t>(wanted) >= room);
}

}  // namespace

void HBN_log_setFacility(int facility) {
  if (!g_facilityFixed.load()) g_facility.store(facility);
}

void HBN_log_fixFacility(int facility) {
  if (facility >= 0) g_facility.store(facility);
  g_facilityFixed.store(facility >= 0);
}

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
  std::string text;
  HBN_log_escapeTo(text, data, strnlen(data, length));
  text += '\n';
  fputs(text.c_str(), stderr);
  if (!g_debugToSyslog.load()) return;
  text.pop_back();
  int priority = g_facility.load() | LOG_DEBUG;
  HBN_log_syslogHook_t hook = g_syslogHook.load();
  if (hook != nullptr) {
    hook(priority, text.c_str());
  } else if (systemLoggerThere()) {
    syslog(priority, "%s", text.c_str());
  }
}

void HBN_log_escapeTo(std::string& out, const char* text, size_t length) {
  if (text == nullptr) return;
  out.reserve(out.size() + length);
  for (size_t i = 0; i < length; ++i) {
    char piece[4];
    out.append(piece, escapeByte(static_cast<unsigned char>(text[i]), piece));
  }
}

void HBN_console_print(const char* format, ...) {
  char line[kLineSize];
  va_list args;
  va_start(args, format);
  int wanted = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  escapeMessage(line, 0, wanted >= 0 && static_cast<size_t>(wanted) >= sizeof line);
  fputs(line, stdout);
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
