// Settings store: the in-memory image, its live file and factory copy, and the device-identity
// getters over the configuration store.
#include "hbn_nvm.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "apmib.h"
#include "hbn_log.h"
#include "hbn_path.h"
#include "zwave_store.h"

namespace {

constexpr int kCopyChunk = 512;

struct NvmStore {
  std::mutex mutex;
  // The image. Writers hold `mutex`; the lock-free class test reads single bytes, so every
  // store into the image is a relaxed atomic byte store.
  std::atomic<uint8_t*> image{nullptr};
};

NvmStore g_nvm;
std::atomic<int> g_rootNo{-1};  // -1: not read yet

void storeBytes(uint8_t* dst, const uint8_t* src, int n) {
  for (int i = 0; i < n; ++i) __atomic_store_n(&dst[i], src[i], __ATOMIC_RELAXED);
}

void fillBytes(uint8_t* dst, uint8_t value, int n) {
  for (int i = 0; i < n; ++i) __atomic_store_n(&dst[i], value, __ATOMIC_RELAXED);
}

uint8_t* record(uint8_t* image, int nodeId) { return image + 4 + HBN_NVM_RECORD_SIZE * nodeId; }

bool validNode(int nodeId) { return nodeId >= 0 && nodeId < HBN_NVM_NODE_COUNT; }

void setMagic(uint8_t* image) {
  const uint8_t magic[4] = {'H', 'N', 'V', 'M'};
  storeBytes(image, magic, 4);
}

// Writes the whole image to the live file; the caller holds the mutex.
int writeLive(const uint8_t* image) {
  return HBN_nvm_coreWrite(HBN_path(HBN_NVM_LIVE_PATH).c_str(), image, HBN_NVM_SIZE);
}

// Reads and validates the live file, then replaces the image with it. Caller holds the mutex.
int loadLive(uint8_t* image) {
  uint8_t buffer[HBN_NVM_SIZE];
  if (HBN_nvm_coreRead(HBN_path(HBN_NVM_LIVE_PATH).c_str(), HBN_NVM_MAGIC, buffer, HBN_NVM_SIZE) != 0)
    return -1;
  storeBytes(image, buffer, HBN_NVM_SIZE);
  return 0;
}

// Temporary name beside `path`, so that the final rename stays on one file system.
std::string tempName(const char* path) { return std::string(path) + ".tmp"; }

// The temporary file made anew: a leftover of a writer that died, or a link planted there, is
// removed first and never written through.
int createTemp(const std::string& temp) {
  unlink(temp.c_str());
  return open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool writeAll(int fd, const uint8_t* data, int length, int* written) {
  *written = 0;
  while (*written < length) {
    ssize_t n = write(fd, data + *written, static_cast<size_t>(length - *written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    *written += static_cast<int>(n);
  }
  return true;
}

// fsync of the directory holding `path`, so that the rename itself survives a power cut.
void syncDirectory(const char* path) {
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = (slash == std::string::npos) ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// Makes the fully written and flushed temporary file the new `path`; a failure is logged under
// the name of the calling operation (`func`).
int commitTemp(const char* func, int fd, const std::string& temp, const char* path) {
  bool ok = fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(temp.c_str(), path) != 0) {
    unlink(temp.c_str());
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "NVM write fail(%d)\n", errno);
    return -1;
  }
  syncDirectory(path);
  return 0;
}

// Output sizes of the getters: a null buffer or a size below 1 receives nothing.
size_t outSize(const char* out, int size) {
  return out != nullptr && size > 0 ? static_cast<size_t>(size) : 0;
}

// Decimal value of a text id ("" when the store has none), as atoi reads it.
int readDecimal(hbn::mib::Text id) {
  char value[hbn::mib::Text::kSize];
  hbn::mib::get(id, value, sizeof value);
  return std::atoi(value);
}

}  // namespace

int HBN_nvm_coreRead(const char* path, uint32_t magic, uint8_t* image, int length) {
  if (path == nullptr || image == nullptr || length < 4) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    HBN_LOG(HBN_LOG_ERROR, "NVM open fail\n");
    return -1;
  }
  ssize_t n;
  do {
    n = read(fd, image, static_cast<size_t>(length));
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n != length) {
    HBN_LOG(HBN_LOG_ERROR, "NVM read fail(%d)\n", static_cast<int>(n));
    return -1;
  }
  uint32_t found = static_cast<uint32_t>(image[0]) | static_cast<uint32_t>(image[1]) << 8 |
                   static_cast<uint32_t>(image[2]) << 16 | static_cast<uint32_t>(image[3]) << 24;
  if (found != magic) {
    HBN_LOG(HBN_LOG_ERROR, "NVM magic unmatch(%X:%X)\n", magic, found);
    return -1;
  }
  return 0;
}

int HBN_nvm_coreWrite(const char* path, const uint8_t* image, int length) {
  if (path == nullptr || image == nullptr || length < 0) return -1;
  std::string temp = tempName(path);
  int fd = createTemp(temp);
  if (fd < 0) {
    HBN_LOG(HBN_LOG_ERROR, "NVM open fail\n");
    return -1;
  }
  int written = 0;
  if (!writeAll(fd, image, length, &written)) {
    HBN_LOG(HBN_LOG_ERROR, "NVM write fail(%d)\n", written);
    close(fd);
    unlink(temp.c_str());
    return -1;
  }
  return commitTemp(__func__, fd, temp, path);
}

int HBN_nvm_coreCopy(const char* source, const char* destination, int length) {
  if (source == nullptr || destination == nullptr) return -1;
  int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    HBN_LOG(HBN_LOG_ERROR, "NVM open fail\n");
    return -1;
  }
  std::string temp = tempName(destination);
  int out = createTemp(temp);
  if (out < 0) {
    HBN_LOG(HBN_LOG_ERROR, "NVM open fail\n");
    close(in);
    return -1;
  }
  long total = 0;
  bool failed = false;
  uint8_t chunk[kCopyChunk];
  for (;;) {
    ssize_t n = read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      HBN_LOG(HBN_LOG_ERROR, "NVM read fail(%d)\n", static_cast<int>(n));
      failed = true;
      break;
    }
    if (n == 0) break;
    int written = 0;
    if (!writeAll(out, chunk, static_cast<int>(n), &written)) {
      HBN_LOG(HBN_LOG_ERROR, "NVM write fail(%d)\n", written);
      failed = true;
      break;
    }
    total += n;
  }
  close(in);
  // Only a complete copy replaces the destination; anything else leaves it as it was.
  if (failed || total != length) {
    close(out);
    unlink(temp.c_str());
    return -1;
  }
  return commitTemp(__func__, out, temp, destination);
}

int HBN_nvm_initialize(int create) {
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  if (g_nvm.image.load() != nullptr) return 0;
  uint8_t* image = new (std::nothrow) uint8_t[HBN_NVM_SIZE];
  if (image == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "NVM data memory alloc fail\n");
    return -1;
  }
  fillBytes(image, 0, HBN_NVM_SIZE);
  int result;
  if (create != 0) {
    setMagic(image);
    result = writeLive(image);
  } else {
    result = loadLive(image);
  }
  if (result != 0) {
    delete[] image;
    return -1;
  }
  g_nvm.image.store(image);
  apmib_init();
  return 0;
}

void HBN_nvm_finalize() {
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  uint8_t* image = g_nvm.image.exchange(nullptr);
  delete[] image;
}

int HBN_nvm_restoreDefault() {
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  uint8_t* image = g_nvm.image.load();
  if (image == nullptr) return -1;
  std::string factory = HBN_path(HBN_NVM_FACTORY_PATH);
  std::string live = HBN_path(HBN_NVM_LIVE_PATH);
  // A damaged factory copy must not replace a good live file.
  uint8_t check[HBN_NVM_SIZE];
  if (HBN_nvm_coreRead(factory.c_str(), HBN_NVM_MAGIC, check, HBN_NVM_SIZE) != 0) return -1;
  if (HBN_nvm_coreCopy(factory.c_str(), live.c_str(), HBN_NVM_SIZE) != 0) return -1;
  return loadLive(image);
}

int HBN_nvm_setSecureClasses(int nodeId, const uint8_t* classes, const uint8_t* flags, int count) {
  if (!validNode(nodeId) || (count > 0 && (classes == nullptr || flags == nullptr))) return -1;
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  uint8_t* image = g_nvm.image.load();
  if (image == nullptr) return -1;
  uint8_t bits[HBN_NVM_RECORD_SIZE] = {};
  for (int i = 0; i < count; ++i) {
    if (flags[i] != 0)
      bits[classes[i] / 8] = static_cast<uint8_t>(bits[classes[i] / 8] | 1u << (classes[i] % 8));
  }
  storeBytes(record(image, nodeId), bits, HBN_NVM_RECORD_SIZE);
  return writeLive(image);
}

int HBN_nvm_clearNode(int nodeId) {
  if (!validNode(nodeId)) return -1;
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  uint8_t* image = g_nvm.image.load();
  if (image == nullptr) return -1;
  fillBytes(record(image, nodeId), 0, HBN_NVM_RECORD_SIZE);
  return writeLive(image);
}

int HBN_nvm_clearAll() {
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  uint8_t* image = g_nvm.image.load();
  if (image == nullptr) return -1;
  fillBytes(record(image, 0), 0, HBN_NVM_NODE_COUNT * HBN_NVM_RECORD_SIZE);
  return writeLive(image);
}

int HBN_nvm_isSecureClass(int nodeId, int commandClass) {
  uint8_t* image = g_nvm.image.load();
  if (image == nullptr || !validNode(nodeId)) return 0;
  unsigned cc = static_cast<unsigned>(commandClass) & 0xFFu;
  uint8_t byte = __atomic_load_n(&record(image, nodeId)[cc / 8], __ATOMIC_RELAXED);
  return (byte >> (cc % 8)) & 1;
}

int HBN_nvm_getData(uint8_t** image, int* length) {
  if (image == nullptr || length == nullptr) return -1;
  g_nvm.mutex.lock();
  uint8_t* current = g_nvm.image.load();
  if (current == nullptr) {
    g_nvm.mutex.unlock();
    return -1;
  }
  *image = current;
  *length = HBN_NVM_SIZE;
  return 0;
}

void HBN_nvm_releaseData() { g_nvm.mutex.unlock(); }

int HBN_nvm_restore(const uint8_t* data, int length) {
  if (data == nullptr) return -1;
  if (length != HBN_NVM_SIZE) {
    HBN_LOG(HBN_LOG_ERROR, "NVM restore data size unmatch\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_nvm.mutex);
  uint8_t* image = g_nvm.image.load();
  if (image == nullptr) return -1;
  storeBytes(image, data, HBN_NVM_SIZE);
  return writeLive(image);
}

int HBN_nvm_getRootNo() {
  int cached = g_rootNo.load();
  if (cached > 0) return cached;
  FILE* file = std::fopen(HBN_path("/etc/rootfs_no").c_str(), "r");
  if (file == nullptr) return 0;
  char line[32] = {};
  bool got = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!got) return 0;
  int number = line[0] == '1' ? 1 : (line[0] == '2' ? 2 : 0);
  if (number > 0) g_rootNo.store(number);
  return number;
}

int HBN_nvm_getSerial(char* serial, int size) {
  hbn::mib::get(hbn::mib::kSerial, serial, outSize(serial, size));
  return 0;
}

int HBN_nvm_getServiceCode(char* code, int size) {
  hbn::mib::getServiceCode(hbn::mib::kServiceCode, code, outSize(code, size));
  return 0;
}

int HBN_nvm_getServer(char* host, int size, int* port) {
  hbn::mib::get(hbn::mib::kServerHost, host, outSize(host, size));
  int number = readDecimal(hbn::mib::kServerPort);
  if (port != nullptr) *port = number;
  return 0;
}

// Flags are one-byte codes in the store; a missing value reads 0.
int HBN_nvm_getTls(int* tls) {
  if (tls == nullptr) return 0;
  *tls = hbn::mib::get(hbn::mib::kTlsEnable);
  return 0;
}

int HBN_nvm_getAuth(int* enabled, char* user, int userSize, char* password, int passwordSize) {
  uint8_t flag = hbn::mib::get(hbn::mib::kAuthEnable);
  if (enabled != nullptr) *enabled = flag;
  hbn::mib::get(hbn::mib::kAuthUser, user, outSize(user, userSize));
  hbn::mib::get(hbn::mib::kAuthPassword, password, outSize(password, passwordSize));
  return 0;
}

int HBN_nvm_getKeepAlive() {
  if (hbn::mib::get(hbn::mib::kKeepAliveEnable) < 1) return -1;  // 0 = disabled
  return readDecimal(hbn::mib::kKeepAliveInterval);
}
