// A private HBN_ROOT for a harness, on a memory file system where there is one (file writes
// and fsync then cost next to nothing), made once per process.
#pragma once
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzroot {

// The root (created and exported as HBN_ROOT on the first call); "" when none could be made.
inline const std::string& root() {
  static const std::string made = [] {
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(base) + "/hbn_fuzz_XXXXXX";
      if (mkdtemp(&pattern[0]) != nullptr) {
        setenv("HBN_ROOT", pattern.c_str(), 1);
        return pattern;
      }
    }
    return std::string();
  }();
  return made;
}

// Creates the folders of `absolute` (a path below the root, "/var/apmib/x") and writes `size`
// bytes of `data` to it. False when the file could not be written.
inline bool writeFile(const std::string& absolute, const void* data, size_t size) {
  std::string path = root() + absolute;
  for (size_t pos = root().size() + 1; (pos = path.find('/', pos)) != std::string::npos; ++pos)
    mkdir(path.substr(0, pos).c_str(), 0700);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = size == 0 || fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

}  // namespace fuzzroot
