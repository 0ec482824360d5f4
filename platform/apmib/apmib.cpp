// Configuration store: a per-process working copy over a readable store file.
// The working copy holds every value read from the file or set since; apmib_update(4)
// merges the values set by this process into the file as it is on disk now (so commits of
// other processes to other ids survive) and replaces it atomically.
#include "apmib.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "apmib_ids_internal.h"
#include "hbn_path.h"

namespace {

using Value = std::vector<unsigned char>;

struct Contents {
  std::map<int, Value> values;
  // Lines that name an unknown id or hold an unreadable value, kept as they stand so a
  // commit loses nothing another build of the store may rely on (keyed by id, -1 if none).
  std::vector<std::pair<int, std::string>> foreign;
};

// What identifies one version of the store file: commits replace it by rename.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  bool operator==(const FileStamp& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           mtimeNs == o.mtimeNs;
  }
};

struct Store {
  std::mutex mutex;
  bool loaded = false;
  std::string path;
  FileStamp stamp;
  Contents working;
  std::set<int> dirty;
};

FileStamp stampOf(const std::string& path) {
  FileStamp f;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return f;
  f.exists = true;
  f.device = st.st_dev;
  f.inode = st.st_ino;
  f.size = st.st_size;
  f.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return f;
}

Store& store() {
  static Store s;
  return s;
}

std::string storePath() { return HBN_path("/var/apmib/store.txt"); }

// Decodes one store-file value of `def`; text longer than the id's size is cut to fit.
bool decode(const apmib_ids::IdDef& def, const std::string& text, Value* out) {
  out->assign(def.size, 0);
  if (def.kind != apmib_ids::Kind::Text) return apmib_ids::parse(def, text, out->data());
  std::string raw;
  if (!apmib_ids::unescape(text, &raw)) return false;
  if (raw.size() > static_cast<size_t>(def.size) - 1) raw.resize(def.size - 1);
  std::memcpy(out->data(), raw.data(), raw.size());
  return true;
}

std::string encode(const apmib_ids::IdDef& def, const Value& v) {
  std::string shown = apmib_ids::format(def, v.data());
  return def.kind == apmib_ids::Kind::Text ? apmib_ids::escape(shown) : shown;
}

Contents readFile(const std::string& path) {
  Contents c;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t eq = line.find('=');
    int id = -1;
    if (eq != std::string::npos && eq > 0 && eq < 12) {
      char* end = nullptr;
      // 64 bits on every target, and range-checked: a 64-bit long would otherwise cut a
      // foreign id like 4294974451 down to 7155 and read its line as that id's value.
      long long v = std::strtoll(line.c_str(), &end, 10);
      if (end == line.c_str() + eq && v >= 0 && v <= INT_MAX) id = static_cast<int>(v);
    }
    const apmib_ids::IdDef* def = id >= 0 ? apmib_ids::find(id) : nullptr;
    Value val;
    if (def != nullptr && decode(*def, line.substr(eq + 1), &val)) {
      c.values[id] = std::move(val);
    } else {
      c.foreign.emplace_back(id, line);
    }
  }
  return c;
}

// Caller holds the mutex. Loads the file, and again whenever another process committed a
// new version of it (so a waiting agent sees settings stored meanwhile); values this process
// set and has not committed stay in its working copy. A new store path (tests change
// HBN_ROOT) starts afresh.
void ensureLoaded(Store& s) {
  std::string path = storePath();
  FileStamp now = stampOf(path);
  if (s.loaded && path == s.path && now == s.stamp) return;
  Contents fresh = readFile(path);
  if (s.loaded && path == s.path) {
    for (int id : s.dirty) fresh.values[id] = s.working.values[id];
  } else {
    s.dirty.clear();
  }
  s.path = path;
  s.stamp = now;
  s.working = std::move(fresh);
  s.loaded = true;
}

void makeParents(const std::string& path) {
  for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
    mkdir(path.substr(0, pos).c_str(), 0755);
  }
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Removes "<store>.tmp.<pid>" files. Called under the commit lock, which every writer holds
// from the creation of its temporary file to its rename, so any such file left is the
// remainder of a writer that died in between.
void removeStaleTemporaries(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) unlinkat(dirfd(d), e->d_name, 0);
  }
  closedir(d);
}

// Caller holds the mutex.
bool commit(Store& s) {
  makeParents(s.path);
  // Serialise commits of all processes: each re-reads the file under the lock.
  std::string lockPath = s.path + ".lock";
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (lockFd < 0) return false;
  while (flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
  }
  removeStaleTemporaries(s.path);
  Contents merged = readFile(s.path);
  for (int id : s.dirty) {
    merged.values[id] = s.working.values[id];
    std::vector<std::pair<int, std::string>> kept;
    for (auto& f : merged.foreign)
      if (f.first != id) kept.push_back(f);
    merged.foreign.swap(kept);
  }
  std::ostringstream text;
  for (const auto& [id, value] : merged.values)
    text << id << '=' << encode(*apmib_ids::find(id), value) << '\n';
  for (const auto& f : merged.foreign) text << f.second << '\n';

  std::string tmp = s.path + ".tmp." + std::to_string(getpid());
  bool ok = false;
  // Made anew (stale ones were just removed): never written through a link planted there.
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ok = writeAll(fd, text.str()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(tmp.c_str(), s.path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
  }
  if (ok) {
    std::string dir = s.path.substr(0, s.path.rfind('/'));
    int dfd = open(dir.empty() ? "/" : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
    s.working = std::move(merged);
    s.dirty.clear();
    s.stamp = stampOf(s.path);
  }
  flock(lockFd, LOCK_UN);
  close(lockFd);
  return ok;
}

void copyOut(const apmib_ids::IdDef& def, const Value& v, void* out) {
  // Text: the characters and their NUL only, so a caller's buffer is touched no further.
  size_t n = def.kind == apmib_ids::Kind::Text
                 ? strnlen(reinterpret_cast<const char*>(v.data()), def.size - 1) + 1
                 : def.size;
  std::memcpy(out, v.data(), n);
}

bool defaultOf(const apmib_ids::IdDef& def, Value* out) {
  return def.hasDefault && decode(def, def.defval, out);
}

}  // namespace

extern "C" {

int apmib_init(void) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureLoaded(s);
  return 1;
}

int apmib_get(int id, void* value) {
  const apmib_ids::IdDef* def = apmib_ids::find(id);
  if (def == nullptr || value == nullptr) return 0;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureLoaded(s);
  auto it = s.working.values.find(id);
  if (it != s.working.values.end()) {
    copyOut(*def, it->second, value);
    return 1;
  }
  Value v;
  if (!defaultOf(*def, &v)) return 0;
  copyOut(*def, v, value);
  return 1;
}

int apmib_getDef(int id, void* value) {
  const apmib_ids::IdDef* def = apmib_ids::find(id);
  Value v;
  if (def == nullptr || value == nullptr || !defaultOf(*def, &v)) return 0;
  copyOut(*def, v, value);
  return 1;
}

int apmib_set(int id, void* value) {
  const apmib_ids::IdDef* def = apmib_ids::find(id);
  if (def == nullptr || value == nullptr) return 0;
  Value v(def->size, 0);
  if (def->kind == apmib_ids::Kind::Text) {
    // Never read past the id's size: a longer text is cut to size - 1 characters.
    std::memcpy(v.data(), value, strnlen(static_cast<const char*>(value), def->size - 1));
  } else {
    std::memcpy(v.data(), value, def->size);
  }
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureLoaded(s);
  s.working.values[id] = std::move(v);
  s.dirty.insert(id);
  return 1;
}

int apmib_update(int type) {
  if (type != 4) return 0;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  ensureLoaded(s);
  return commit(s) ? 1 : 0;
}

}  // extern "C"
