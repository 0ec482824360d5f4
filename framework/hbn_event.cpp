// Event manager: up to 4 groups of 16 flags. A setter raises flags under the group lock and
// then gives the group's binary signal; one waiter takes the signal and collects the flags.
// Lock order: signal before lock (the signal is never held while the lock is taken).
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

#include "hbn_log.h"
#include "hbn_os.h"

namespace {

// A binary semaphore: given by any thread, taken by one waiter; giving it twice is one give.
struct BinarySignal {
  std::mutex mutex;
  std::condition_variable cond;
  bool given = false;

  void give() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      given = true;
    }
    cond.notify_one();
  }
  void take() {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return given; });
    given = false;
  }
  void reset() {
    std::lock_guard<std::mutex> guard(mutex);
    given = false;
  }
};

}  // namespace

// The lock and signal live as long as the manager, so a group deleted while a thread still
// waits on it never leaves that thread on a destroyed primitive.
struct HBN_event_t {
  uint16_t mask = 0;     // non-zero exactly while in use; guarded by lock (and the manager mutex)
  uint16_t pending = 0;  // guarded by lock
  std::mutex lock;
  BinarySignal signal;
};

namespace {

constexpr int kEventCount = 4;

std::mutex g_mutex;
std::atomic<HBN_event_t*> g_table{nullptr};

bool checkArguments(const void* handle) {
  if (g_table.load() == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
    return false;
  }
  if (handle == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return false;
  }
  return true;
}

}  // namespace

int HBN_event_initialize() {
  std::lock_guard<std::mutex> guard(g_mutex);
  if (g_table.load() != nullptr) {
    HBN_log_print(HBN_LOG_WARN, "manage information initialized\n");
    return 0;
  }
  HBN_event_t* table = new (std::nothrow) HBN_event_t[kEventCount];
  if (table == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "memory alloc fail\n");
    return -1;
  }
  g_table.store(table);
  return 0;
}

int HBN_event_finalize() {
  HBN_event_t* table = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    table = g_table.load();
    if (table == nullptr) {
      HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
      return -1;
    }
    for (int i = 0; i < kEventCount; ++i) {
      std::lock_guard<std::mutex> groupGuard(table[i].lock);
      if (table[i].mask != 0) {
        HBN_log_print(HBN_LOG_ERROR, "event is not empty\n");
        return -1;
      }
    }
    g_table.store(nullptr);
  }
  delete[] table;
  return 0;
}

int HBN_event_create(HBN_event_t** handle, uint16_t mask) {
  if (!checkArguments(handle)) return -1;
  if (mask == 0) {
    HBN_log_print(HBN_LOG_ERROR, "argument is 0\n");
    return -1;
  }
  HBN_event_t* group = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    HBN_event_t* table = g_table.load();
    for (int i = 0; table != nullptr && i < kEventCount && group == nullptr; ++i) {
      std::lock_guard<std::mutex> groupGuard(table[i].lock);
      if (table[i].mask == 0) {
        group = &table[i];
        // Starts unsignalled: take away a give left over from an earlier user.
        group->signal.reset();
        group->mask = mask;
        group->pending = 0;
      }
    }
  }
  if (group == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "event manage info is not empty\n");
    return -1;
  }
  *handle = group;
  return 0;
}

int HBN_event_delete(HBN_event_t* handle) {
  if (!checkArguments(handle)) return -1;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    std::lock_guard<std::mutex> groupGuard(handle->lock);
    handle->mask = 0;
    handle->pending = 0;
  }
  // Wakes a waiter, which sees the group gone and returns -1.
  handle->signal.give();
  return 0;
}

int HBN_event_set(HBN_event_t* handle, uint16_t flags) {
  if (!checkArguments(handle)) return -1;
  bool raised = false;
  {
    std::lock_guard<std::mutex> guard(handle->lock);
    handle->pending = static_cast<uint16_t>(handle->pending | (flags & handle->mask));
    raised = handle->pending != 0;
  }
  if (raised) handle->signal.give();
  return 0;
}

int HBN_event_clear(HBN_event_t* handle, uint16_t flags) {
  if (!checkArguments(handle)) return -1;
  std::lock_guard<std::mutex> guard(handle->lock);
  handle->pending = static_cast<uint16_t>(handle->pending & ~(flags & handle->mask));
  return 0;
}

int HBN_event_get(HBN_event_t* handle, uint16_t* flags) {
  if (!checkArguments(handle)) return -1;
  if (flags == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  std::lock_guard<std::mutex> guard(handle->lock);
  *flags = handle->pending;
  return 0;
}

int HBN_event_waitAny(HBN_event_t* handle, uint16_t* flags) {
  if (!checkArguments(handle)) return -1;
  if (flags == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  for (;;) {
    handle->signal.take();
    uint16_t taken = 0;
    bool deleted = false;
    {
      std::lock_guard<std::mutex> guard(handle->lock);
      taken = handle->pending;
      deleted = handle->mask == 0;
      handle->pending = 0;
    }
    if (taken != 0) {
      *flags = taken;
      return 0;
    }
    if (deleted) {
      HBN_log_print(HBN_LOG_ERROR, "event is deleted\n");
      return -1;
    }
  }
}

int HBN_event_waitAll(HBN_event_t* handle) {
  if (!checkArguments(handle)) return -1;
  uint16_t collected = 0;
  for (;;) {
    handle->signal.take();
    uint16_t mask = 0;
    {
      std::lock_guard<std::mutex> guard(handle->lock);
      mask = handle->mask;
      collected = static_cast<uint16_t>(collected | handle->pending);
      handle->pending = 0;
    }
    if (mask == 0) {
      HBN_log_print(HBN_LOG_ERROR, "event is deleted\n");
      return -1;
    }
    if (collected == mask) return 0;
  }
}
