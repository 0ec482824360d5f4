// Waiting for a condition in tests, and small text helpers for what programs wrote.
#pragma once
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace hbntest {

// Polls `pred` every 5 ms until it holds (true) or `timeoutMs` passed (false).
template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The whole file ("" when it cannot be read).
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Non-overlapping occurrences of `what` in `text`.
inline size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace hbntest
