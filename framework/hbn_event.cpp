// Event manager: up to 4 groups of 16 flags. A setter raises flags under the group lock and
// then gives the group's binary signal; one waiter takes the signal and collects the flags.
// Lock order: signal before lock (the signal is never held while the lock is taken).
#include <atomic>
#include <new>

#include <pthread.h>

#include "hbn_log.h"
#include "hbn_os.h"

namespace {

// A binary semaphore: given by any thread, taken by one waiter; giving it twice is one give.
struct BinarySignal {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool given;

  void init() {
    pthread_mutex_init(&mutex, nullptr);
    pthread_cond_init(&cond, nullptr);
    given = false;
  }
  void destroy() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
  }
  void give() {
    pthread_mutex_lock(&mutex);
    given = true;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&mutex);
  }
  void take() {
    pthread_mutex_lock(&mutex);
    while (!given) pthread_cond_wait(&cond, &mutex);
    given = false;
    pthread_mutex_unlock(&mutex);
  }
};

}  // namespace

// The lock and signal live as long as the manager, so a group deleted while a thread still
// waits on it never leaves that thread on a destroyed primitive.
struct HBN_event_t {
  uint16_t mask;     // non-zero exactly while in use; guarded by lock (and the manager mutex)
  uint16_t pending;  // guarded by lock
  pthread_mutex_t lock;
  BinarySignal signal;
};

namespace {

constexpr int kEventCount = 4;

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
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
  pthread_mutex_lock(&g_mutex);
  if (g_table.load() != nullptr) {
    pthread_mutex_unlock(&g_mutex);
    HBN_log_print(HBN_LOG_WARN, "manage information initialized\n");
    return 0;
  }
  HBN_event_t* table = new (std::nothrow) HBN_event_t[kEventCount];
  if (table == nullptr) {
    pthread_mutex_unlock(&g_mutex);
    HBN_log_print(HBN_LOG_ERROR, "memory alloc fail\n");
    return -1;
  }
  for (int i = 0; i < kEventCount; ++i) {
    table[i].mask = 0;
    table[i].pending = 0;
    pthread_mutex_init(&table[i].lock, nullptr);
    table[i].signal.init();
  }
  g_table.store(table);
  pthread_mutex_unlock(&g_mutex);
  return 0;
}

int HBN_event_finalize() {
  pthread_mutex_lock(&g_mutex);
  HBN_event_t* table = g_table.load();
  if (table == nullptr) {
    pthread_mutex_unlock(&g_mutex);
    HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
    return -1;
  }
  for (int i = 0; i < kEventCount; ++i) {
    pthread_mutex_lock(&table[i].lock);
    bool inUse = table[i].mask != 0;
    pthread_mutex_unlock(&table[i].lock);
    if (inUse) {
      pthread_mutex_unlock(&g_mutex);
      HBN_log_print(HBN_LOG_ERROR, "event is not empty\n");
      return -1;
    }
  }
  g_table.store(nullptr);
  pthread_mutex_unlock(&g_mutex);
  for (int i = 0; i < kEventCount; ++i) {
    table[i].signal.destroy();
    pthread_mutex_destroy(&table[i].lock);
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
  pthread_mutex_lock(&g_mutex);
  HBN_event_t* table = g_table.load();
  HBN_event_t* group = nullptr;
  for (int i = 0; table != nullptr && i < kEventCount && group == nullptr; ++i) {
    pthread_mutex_lock(&table[i].lock);
    if (table[i].mask == 0) {
      group = &table[i];
      // Starts unsignalled: take away a give left over from an earlier user.
      pthread_mutex_lock(&group->signal.mutex);
      group->signal.given = false;
      pthread_mutex_unlock(&group->signal.mutex);
      group->mask = mask;
      group->pending = 0;
    }
    pthread_mutex_unlock(&table[i].lock);
  }
  pthread_mutex_unlock(&g_mutex);
  if (group == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "event manage info is not empty\n");
    return -1;
  }
  *handle = group;
  return 0;
}

int HBN_event_delete(HBN_event_t* handle) {
  if (!checkArguments(handle)) return -1;
  pthread_mutex_lock(&g_mutex);
  pthread_mutex_lock(&handle->lock);
  handle->mask = 0;
  handle->pending = 0;
  pthread_mutex_unlock(&handle->lock);
  pthread_mutex_unlock(&g_mutex);
  // Wakes a waiter, which sees the group gone and returns -1.
  handle->signal.give();
  return 0;
}

int HBN_event_set(HBN_event_t* handle, uint16_t flags) {
  if (!checkArguments(handle)) return -1;
  pthread_mutex_lock(&handle->lock);
  handle->pending = static_cast<uint16_t>(handle->pending | (flags & handle->mask));
  bool raised = handle->pending != 0;
  pthread_mutex_unlock(&handle->lock);
  if (raised) handle->signal.give();
  return 0;
}

int HBN_event_clear(HBN_event_t* handle, uint16_t flags) {
  if (!checkArguments(handle)) return -1;
  pthread_mutex_lock(&handle->lock);
  handle->pending = static_cast<uint16_t>(handle->pending & ~(flags & handle->mask));
  pthread_mutex_unlock(&handle->lock);
  return 0;
}

int HBN_event_get(HBN_event_t* handle, uint16_t* flags) {
  if (!checkArguments(handle)) return -1;
  if (flags == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  pthread_mutex_lock(&handle->lock);
  *flags = handle->pending;
  pthread_mutex_unlock(&handle->lock);
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
    pthread_mutex_lock(&handle->lock);
    uint16_t taken = handle->pending;
    bool deleted = handle->mask == 0;
    handle->pending = 0;
    pthread_mutex_unlock(&handle->lock);
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
    pthread_mutex_lock(&handle->lock);
    uint16_t mask = handle->mask;
    collected = static_cast<uint16_t>(collected | handle->pending);
    handle->pending = 0;
    pthread_mutex_unlock(&handle->lock);
    if (mask == 0) {
      HBN_log_print(HBN_LOG_ERROR, "event is deleted\n");
      return -1;
    }
    if (collected == mask) return 0;
  }
}
