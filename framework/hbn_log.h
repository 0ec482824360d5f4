// Logging: one formatted line per call, written to standard error and to the system log.
// Any thread may log at any time; there is no shared buffer and no lock.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>

enum { HBN_LOG_DEBUG = 0, HBN_LOG_INFO = 1, HBN_LOG_WARN = 2, HBN_LOG_ERROR = 3 };

// Facility OR-ed into every syslog priority (0 until the framework sets LOG_LOCAL5).
void HBN_log_setFacility(int facility);
// Sets the facility for good: later HBN_log_setFacility calls (the framework's start among
// them) leave it as it is. For an agent whose lines carry another facility from the first one.
// A negative `facility` releases the fix and leaves the facility as it is.
void HBN_log_fixFacility(int facility);
// Router and OTA agents keep Debug lines off the system log.
void HBN_log_setDebugToSyslog(bool on);

// Short form "HBN-<L>:<message>", used by framework modules.
void HBN_log_print(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Detailed form "HBN-<L>/<sec>.<ms>/<func>[<line>]:<message>", used by application modules.
void HBN_log_printAt(int level, const char* func, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Writes exactly `length` characters of `data` as one line.
void HBN_log_dump(const char* data, size_t length);

// Lines built from network or file text must not carry line breaks or control bytes of their
// own (a request could forge lines that look like the agent's). Every log line is written with
// the bytes 0x00-0x1F and 0x7F of its message shown as "\n", "\r", "\t" or "\xNN" (the line's
// own final line feed stays); every other byte, UTF-8 included, is written as it is.
// Appends `length` bytes of `text` so escaped to `out`.
void HBN_log_escapeTo(std::string& out, const char* text, size_t length);
// Console lines ("KV_TX440:...") built from outside text: formatted, escaped like a log line
// (a final line feed kept) and written to standard output.
void HBN_console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Fills `dest` (at least 512 bytes) with the first line of /etc/build.info, the default
// "01.00.03.01" for an empty file, or leaves it untouched when the file is missing.
void HBN_util_getBuildVersion(char* dest);

// Test seam: receives (priority, line) instead of syslog(); nullptr restores syslog.
using HBN_log_syslogHook_t = void (*)(int priority, const char* line);
void HBN_log_setSyslogHook(HBN_log_syslogHook_t hook);
// Test seam: replaces clock_gettime(CLOCK_MONOTONIC) of the detailed form; nullptr restores it.
using HBN_log_clockHook_t = void (*)(struct timespec* now);
void HBN_log_setClockHook(HBN_log_clockHook_t hook);

// Application modules log with their own function name and line.
#define HBN_LOG(level, ...) HBN_log_printAt((level), __func__, __LINE__, __VA_ARGS__)
