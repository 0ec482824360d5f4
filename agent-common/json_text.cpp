#include "json_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// The escape for one byte, or nullptr when it stands as it is.
const char* escapeFor(unsigned char c, char (&scratch)[8]) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    default:
      break;
  }
  if (c < 0x20 || c == 0x7F) {
    snprintf(scratch, sizeof scratch, "\\u%04X", c);
    return scratch;
  }
  return nullptr;
}
}  // namespace

HBN_text_t::HBN_text_t(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
  if (capacity_ > 0) buffer_[0] = '\0';
}

HBN_text_t& HBN_text_t::format(const char* fmt, ...) {
  if (overflow_ || capacity_ == 0) return *this;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buffer_ + length_, capacity_ - length_, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= capacity_ - length_) {
    buffer_[length_] = '\0';
    overflow_ = true;
  } else {
    length_ += static_cast<size_t>(n);
  }
  return *this;
}

HBN_text_t& HBN_text_t::append(const char* fragment) {
  if (overflow_ || capacity_ == 0 || fragment == nullptr) return *this;
  size_t n = strlen(fragment);
  if (n > room()) {
    overflow_ = true;
    return *this;
  }
  memcpy(buffer_ + length_, fragment, n + 1);
  length_ += n;
  return *this;
}

HBN_text_t& HBN_text_t::escaped(const char* value) {
  if (value == nullptr) return *this;
  if (HBN_text_escapedLength(value) > room()) {
    overflow_ = true;
    return *this;
  }
  char scratch[8];
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
    const char* esc = escapeFor(*p, scratch);
    if (esc) {
      size_t n = strlen(esc);
      memcpy(buffer_ + length_, esc, n);
      length_ += n;
    } else {
      buffer_[length_++] = static_cast<char>(*p);
    }
  }
  buffer_[length_] = '\0';
  return *this;
}

void HBN_text_t::truncate(size_t mark) {
  if (mark < length_) length_ = mark;
  if (capacity_ > 0) buffer_[length_] = '\0';
  overflow_ = false;
}

size_t HBN_text_escapedLength(const char* value) {
  size_t n = 0;
  char scratch[8];
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
    const char* esc = escapeFor(*p, scratch);
    n += esc ? strlen(esc) : 1;
  }
  return n;
}
