// Bounded assembly of outgoing payload text. Payloads are built from fixed fragments as text;
// string values are JSON-escaped so a stored quote, backslash or control character can never
// break the document. Nothing is ever written past the buffer: once a fragment does not fit,
// the builder is marked overflowed and keeps what it had.
#pragma once
#include <cstddef>
#include <cstdint>

class HBN_text_t {
 public:
  HBN_text_t(char* buffer, size_t capacity);
  // printf-style fragment.
  HBN_text_t& format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  HBN_text_t& append(const char* fragment);
  // `value` as the inside of a JSON string (no surrounding quotes), escaped.
  HBN_text_t& escaped(const char* value);
  // Length of the text so far (always NUL-terminated within the buffer).
  size_t length() const { return length_; }
  // Room left before the terminator.
  size_t room() const { return capacity_ - 1 - length_; }
  bool overflowed() const { return overflow_; }
  // Drops everything after `mark` (a length taken earlier) and clears the overflow flag.
  void truncate(size_t mark);
  const char* text() const { return buffer_; }

 private:
  char* buffer_;
  size_t capacity_;
  size_t length_ = 0;
  bool overflow_ = false;
};

// Escaped length of `value` as a JSON string body.
size_t HBN_text_escapedLength(const char* value);
