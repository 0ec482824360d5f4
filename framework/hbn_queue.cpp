// Queue manager: up to 8 queues, each a packet-mode pipe carrying fixed records, so one
// write is one message and concurrent senders never interleave.
#include <atomic>
#include <mutex>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_platform.h"

struct HBN_queue_t {
  uint32_t inUse;
  int readFd;
  int writeFd;
  std::atomic<uint32_t> sequence;
};

namespace {

constexpr int kQueueCount = 8;

// The manager mutex guards the table pointer's changes and the entry search; the table pointer
// is also read without it by the per-message operations.
std::mutex g_mutex;
std::atomic<HBN_queue_t*> g_table{nullptr};

bool checkInitialized() {
  if (g_table.load() == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
    return false;
  }
  return true;
}

// Set on threads that run inside a library's callbacks: they never wait for room in a queue.
thread_local bool tNoWait = false;

long long nowMs() { return hbn::platform().monotonicMs(); }

}  // namespace

int HBN_queue_initialize() {
  std::lock_guard<std::mutex> guard(g_mutex);
  if (g_table.load() != nullptr) {
    HBN_log_print(HBN_LOG_WARN, "manage information initialized\n");
    return 0;
  }
  HBN_queue_t* table = new (std::nothrow) HBN_queue_t[kQueueCount];
  if (table == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "memory alloc fail\n");
    return -1;
  }
  for (int i = 0; i < kQueueCount; ++i) {
    table[i].inUse = 0;
    table[i].readFd = -1;
    table[i].writeFd = -1;
    table[i].sequence.store(0);
  }
  g_table.store(table);
  return 0;
}

int HBN_queue_finalize() {
  HBN_queue_t* table = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    table = g_table.load();
    if (table == nullptr) {
      HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
      return -1;
    }
    for (int i = 0; i < kQueueCount; ++i) {
      if (table[i].inUse != 0) {
        HBN_log_print(HBN_LOG_ERROR, "queue is not empty\n");
        return -1;
      }
    }
    g_table.store(nullptr);
  }
  delete[] table;
  return 0;
}

int HBN_queue_create(HBN_queue_t** handle) {
  if (!checkInitialized()) return -1;
  if (handle == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_mutex);
  HBN_queue_t* table = g_table.load();
  HBN_queue_t* entry = nullptr;
  for (int i = 0; table != nullptr && i < kQueueCount; ++i) {
    if (table[i].inUse == 0) {
      entry = &table[i];
      break;
    }
  }
  if (entry == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "queue manage info is not empty\n");
    return -1;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_DIRECT) != 0) {
    HBN_log_print(HBN_LOG_ERROR, "queue pipe create fail\n");
    return -1;
  }
  // The write end does not block: a full queue is waited for with poll(), so a sender can
  // choose how long it may wait (HBN_queue_sendTimeout).
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  entry->readFd = fds[0];
  entry->writeFd = fds[1];
  entry->inUse = 1;
  entry->sequence.store(0);
  *handle = entry;
  return 0;
}

void HBN_queue_delete(HBN_queue_t* handle) {
  if (!checkInitialized()) return;
  if (handle == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return;
  }
  bool closeFailed = false;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    // Descriptors go back to -1 so that nothing can close them a second time once the
    // numbers have been reused elsewhere in the process.
    if (handle->readFd >= 0 && close(handle->readFd) != 0) closeFailed = true;
    if (handle->writeFd >= 0 && close(handle->writeFd) != 0) closeFailed = true;
    handle->readFd = -1;
    handle->writeFd = -1;
    handle->inUse = 0;
    handle->sequence.store(0);
  }
  if (closeFailed) HBN_log_print(HBN_LOG_ERROR, "pipe close fail(id=%p\n", static_cast<void*>(handle));
}

int HBN_queue_send(HBN_queue_t* handle, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                   uintptr_t word5) {
  return HBN_queue_sendTimeout(handle, -1, word1, word2, word3, word4, word5) == 0 ? 0 : -1;
}

int HBN_queue_sendTimeout(HBN_queue_t* handle, int timeoutMs, uint32_t word1, uint32_t word2, uint32_t word3,
                          uint32_t word4, uintptr_t word5) {
  if (!checkInitialized()) return -1;
  if (handle == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  HBN_queue_record_t record;
  memset(&record, 0, sizeof record);  // no stray padding bytes in the pipe
  record.sequence = handle->sequence.fetch_add(1);
  record.word1 = word1;
  record.word2 = word2;
  record.word3 = word3;
  record.word4 = word4;
  record.word5 = word5;
  if (tNoWait) timeoutMs = 0;
  long long deadline = timeoutMs > 0 ? nowMs() + timeoutMs : 0;
  ssize_t written;
  for (;;) {
    written = write(handle->writeFd, &record, sizeof record);
    if (written >= 0 || errno == EINTR) {
      if (written >= 0) break;
      continue;
    }
    if (errno != EAGAIN) break;
    // Full: wait for room, for ever (timeoutMs < 0), not at all (0) or until the deadline.
    if (timeoutMs == 0) return 1;
    int wait = -1;
    if (timeoutMs > 0) {
      long long left = deadline - nowMs();
      if (left <= 0) return 1;
      wait = static_cast<int>(left);
    }
    struct pollfd fd = {handle->writeFd, POLLOUT, 0};
    if (hbn::platform().poll(&fd, 1, wait) < 0 && errno != EINTR) break;
  }
  if (written != static_cast<ssize_t>(sizeof record)) {
    HBN_log_print(HBN_LOG_ERROR, "pipe write fail=%d,%d\n", static_cast<int>(written),
                  static_cast<int>(sizeof record));
    return -1;
  }
  return 0;
}

int HBN_queue_receive(HBN_queue_t* handle, uint32_t* word1, uint32_t* word2, uint32_t* word3, uint32_t* word4,
                      uintptr_t* word5) {
  return HBN_queue_receiveTimeout(handle, 0, word1, word2, word3, word4, word5);
}

int HBN_queue_receiveTimeout(HBN_queue_t* handle, int timeoutMs, uint32_t* word1, uint32_t* word2,
                             uint32_t* word3, uint32_t* word4, uintptr_t* word5) {
  if (!checkInitialized()) return -1;
  if (handle == nullptr || word1 == nullptr || word2 == nullptr || word3 == nullptr || word4 == nullptr ||
      word5 == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  *word1 = *word2 = *word3 = *word4 = 0;
  *word5 = 0;
  if (timeoutMs > 0) {
    long long deadline = nowMs() + timeoutMs;
    struct pollfd fd = {handle->readFd, POLLIN, 0};
    int ready;
    for (;;) {
      long long left = deadline - nowMs();
      ready = hbn::platform().poll(&fd, 1, left > 0 ? static_cast<int>(left) : 0);
      if (ready >= 0 || errno != EINTR) break;
    }
    if (ready < 1) return 1;
  }
  HBN_queue_record_t record;
  ssize_t got;
  do {
    got = read(handle->readFd, &record, sizeof record);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof record)) {
    HBN_log_print(HBN_LOG_ERROR, "pipe read fail=%d,%d\n", static_cast<int>(got),
                  static_cast<int>(sizeof record));
    return -1;
  }
  *word1 = record.word1;
  *word2 = record.word2;
  *word3 = record.word3;
  *word4 = record.word4;
  *word5 = record.word5;
  return 0;
}

void HBN_queue_setNoWait(int on) { tNoWait = on != 0; }

int HBN_queue_isNoWait() { return tNoWait ? 1 : 0; }

int HBN_queue_getFd(HBN_queue_t* handle) {
  if (g_table.load() == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "manage info not found\n");
    return -1;
  }
  if (handle == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  return handle->readFd;
}
