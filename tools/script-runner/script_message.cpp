#include "script_message.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hbn_path.h"

namespace scriptrunner {

namespace {

// Strict decimal int: optional sign, digits, nothing else; false on overflow.
bool parseInt(const char* begin, const char* end, int* value) {
  if (begin == end) return false;
  const char* p = begin;
  if (*p == '-' || *p == '+') ++p;
  if (p == end) return false;
  for (const char* q = p; q < end; ++q)
    if (!isdigit(static_cast<unsigned char>(*q))) return false;
  std::string digits(begin, end);
  errno = 0;
  long parsed = strtol(digits.c_str(), nullptr, 10);
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace

// "kind,number" with both parts decimal ints.
bool parseRequest(const char* text, int* kind, int* number) {
  const char* comma = strchr(text, ',');
  if (comma == nullptr) return false;
  return parseInt(text, comma, kind) && parseInt(comma + 1, comma + strlen(comma), number);
}

// A printable, bounded copy of a request for the log.
std::string printable(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0' && out.size() < 64; ++p)
    out.push_back(isprint(static_cast<unsigned char>(*p)) ? *p : '?');
  return out;
}

// Script name and full path for a request; false for an unknown kind.
bool scriptFor(int kind, int number, char* name, size_t nameSize, std::string* path) {
  const char* directory = nullptr;
  switch (kind) {
    case 0:
      snprintf(name, nameSize, "button_%d.sh", number);
      directory = "/jffs2/button/";
      break;
    case 1:
      snprintf(name, nameSize, "button_%d_r.sh", number);
      directory = "/jffs2/button/";
      break;
    case 2:
      snprintf(name, nameSize, "script440_%d.sh", number);
      directory = "/jffs2/script440/";
      break;
    default:
      return false;
  }
  *path = HBN_path(directory) + name;
  return true;
}

}  // namespace scriptrunner
