// Test helpers for the framework's log output: standard error or output redirected to a file for the
// duration of a call, and the system-log hook recording (priority, line) pairs.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "hbn_log.h"

namespace hbntest {

// Runs `body` with file descriptor `fd` (2 or 1) pointing at a temporary file; returns what was
// written.
inline std::string captureFd(int fd, const std::function<void()>& body) {
  FILE* stream = fd == 1 ? stdout : stderr;
  char path[] = "/tmp/hbn_capture_XXXXXX";
  int file = mkstemp(path);
  if (file < 0) return "<mkstemp failed>";
  fflush(stream);
  int saved = dup(fd);
  dup2(file, fd);
  body();
  fflush(stream);
  dup2(saved, fd);
  close(saved);
  std::string text;
  lseek(file, 0, SEEK_SET);
  char chunk[4096];
  ssize_t got;
  while ((got = read(file, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(got));
  close(file);
  unlink(path);
  return text;
}

inline std::string captureStderr(const std::function<void()>& body) { return captureFd(2, body); }
inline std::string captureStdout(const std::function<void()>& body) { return captureFd(1, body); }

// Records every line that would go to syslog while installed.
class SyslogRecorder {
 public:
  SyslogRecorder() { start(); }
  // Clears the record and installs the hook (for fixtures that install it in SetUp).
  static void start() {
    clear();
    HBN_log_setSyslogHook(&SyslogRecorder::hook);
  }
  ~SyslogRecorder() { HBN_log_setSyslogHook(nullptr); }
  static std::vector<std::pair<int, std::string>> lines() {
    std::lock_guard<std::mutex> guard(mutex());
    return store();
  }
  static void clear() {
    std::lock_guard<std::mutex> guard(mutex());
    store().clear();
  }
  // True when some recorded line is exactly `line`.
  static bool has(const std::string& line) {
    for (const auto& entry : lines())
      if (entry.second == line) return true;
    return false;
  }
  static int count(const std::string& line) {
    int n = 0;
    for (const auto& entry : lines())
      if (entry.second == line) ++n;
    return n;
  }
  // Recorded lines that contain `text`.
  static int countContaining(const std::string& text) {
    int n = 0;
    for (const auto& entry : lines())
      if (entry.second.find(text) != std::string::npos) ++n;
    return n;
  }

 private:
  static void hook(int priority, const char* line) {
    std::lock_guard<std::mutex> guard(mutex());
    store().emplace_back(priority, line);
  }
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::pair<int, std::string>>& store() {
    static std::vector<std::pair<int, std::string>> s;
    return s;
  }
};

// True when a recorded detailed-form line was written by `func` with exactly `message` (with
// `prefixOnly`, a message that starts with it).
inline bool loggedBy(const std::string& func, const std::string& message, bool prefixOnly = false) {
  for (const auto& entry : SyslogRecorder::lines()) {
    const std::string& line = entry.second;
    size_t at = line.find("/" + func + "[");
    if (at == std::string::npos) continue;
    size_t text = line.find("]:", at);
    if (text == std::string::npos) continue;
    size_t length = prefixOnly ? message.size() : std::string::npos;
    if (line.compare(text + 2, length, message) == 0) return true;
  }
  return false;
}

// Lines recorded by the installed SyslogRecorder that contain `text`.
inline int logCount(const std::string& text) { return SyslogRecorder::countContaining(text); }

// True when `text` (a program's standard error) holds a detailed-form log line of `level` ('D',
// 'I', 'W' or 'E') written by `func` whose message is exactly `message` (without its line end).
inline bool hasLogLine(const std::string& text, char level, const std::string& func,
                       const std::string& message) {
  const std::string head = std::string("HBN-") + level + "/";
  const std::string name = "/" + func + "[";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.compare(0, head.size(), head) != 0) continue;
    size_t at = line.find(name);
    size_t body = at == std::string::npos ? at : line.find("]:", at);
    if (body != std::string::npos && line.compare(body + 2, std::string::npos, message) == 0) return true;
  }
  return false;
}

}  // namespace hbntest
