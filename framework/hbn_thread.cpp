// Thread manager: up to 6 worker threads. Create returns only once the new thread runs
// (a semaphore posted by the new thread) and carries its name; stop sets the slot's flag and
// joins.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include <pthread.h>
#include <semaphore.h>
#include <time.h>

#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_platform.h"

struct HBN_thread_t {
  pthread_t thread;
  sem_t startLock;  // posted by the new thread, taken by its creator
  std::atomic<uint32_t> stopRequested;
  HBN_thread_entry_t entry;  // non-null exactly while the slot is in use (guarded by the manager mutex)
  uintptr_t argument;
  char name[16];  // the thread's name as the kernel keeps it: at most 15 characters
  bool running;   // a thread was created and not yet joined (guarded by the manager mutex)
};

namespace {

constexpr int kThreadCount = 6;

std::mutex g_mutex;
std::atomic<HBN_thread_t*> g_table{nullptr};

void* trampoline(void* context) {
  HBN_thread_t* slot = static_cast<HBN_thread_t*>(context);
  // Read before the post: once the creator continues, only this thread uses its copy.
  HBN_thread_entry_t entry = slot->entry;
  uintptr_t argument = slot->argument;
  // Named before the creator continues, so ps -L, top -H and gdb show it from the start.
  pthread_setname_np(pthread_self(), slot->name);
  sem_post(&slot->startLock);
  entry(slot, argument);
  return nullptr;
}

}  // namespace

int HBN_thread_initialize() {
  std::lock_guard<std::mutex> guard(g_mutex);
  if (g_table.load() != nullptr) {
    HBN_log_print(HBN_LOG_WARN, "manage information initialized\n");
    return 0;
  }
  HBN_thread_t* table = new (std::nothrow) HBN_thread_t[kThreadCount];
  if (table == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "memory alloc fail\n");
    return -1;
  }
  for (int i = 0; i < kThreadCount; ++i) {
    table[i].thread = pthread_t();
    sem_init(&table[i].startLock, 0, 0);
    table[i].stopRequested.store(0);
    table[i].entry = nullptr;
    table[i].argument = 0;
    table[i].name[0] = '\0';
    table[i].running = false;
  }
  g_table.store(table);
  return 0;
}

int HBN_thread_finalize() {
  HBN_thread_t* table = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    table = g_table.load();
    if (table == nullptr) {
      HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
      return -1;
    }
    for (int i = 0; i < kThreadCount; ++i) {
      if (table[i].entry != nullptr) {
        HBN_log_print(HBN_LOG_ERROR, "thread is not empty\n");
        return -1;
      }
    }
    g_table.store(nullptr);
  }
  for (int i = 0; i < kThreadCount; ++i) sem_destroy(&table[i].startLock);
  delete[] table;
  return 0;
}

int HBN_thread_create(HBN_thread_t** handle, const char* name, int stackSize, HBN_thread_entry_t entry,
                      uintptr_t argument) {
  (void)stackSize;  // threads use the default attributes
  if (g_table.load() == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "manage information not initialized\n");
    return -1;
  }
  if (handle == nullptr || name == nullptr || entry == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  HBN_thread_t* slot = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    HBN_thread_t* table = g_table.load();
    for (int i = 0; table != nullptr && i < kThreadCount; ++i) {
      if (table[i].entry == nullptr) {
        slot = &table[i];
        break;
      }
    }
    if (slot == nullptr) {
      HBN_log_print(HBN_LOG_ERROR, "thread manage info is not empty\n");
      return -1;
    }
    slot->entry = entry;
    slot->argument = argument;
    size_t nameLength = strnlen(name, sizeof slot->name - 1);  // longer names are cut to 15
    memcpy(slot->name, name, nameLength);
    slot->name[nameLength] = '\0';
    slot->stopRequested.store(0);
    if (pthread_create(&slot->thread, nullptr, trampoline, slot) != 0) {
      slot->entry = nullptr;
      slot->argument = 0;
      HBN_log_print(HBN_LOG_ERROR, "thread create fail\n");
      return -1;
    }
    slot->running = true;
  }
  while (sem_wait(&slot->startLock) != 0 && errno == EINTR) {
  }
  *handle = slot;
  return 0;
}

void HBN_thread_stop(HBN_thread_t* handle) {
  if (handle == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return;
  }
  if (g_table.load() == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "manage info not found\n");
    return;
  }
  bool running = false;
  pthread_t thread;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    running = handle->running;
    thread = handle->thread;
    // Claim the join so that a second stop cannot join the same thread again.
    handle->running = false;
  }
  if (!running) {
    HBN_log_print(HBN_LOG_ERROR, "thread is not running\n");
    return;
  }
  handle->stopRequested.store(1);
  if (pthread_equal(thread, pthread_self())) {
    // A worker stopping itself cannot join itself; let it go and free the slot.
    pthread_detach(thread);
  } else {
    pthread_join(thread, nullptr);
  }
  std::lock_guard<std::mutex> guard(g_mutex);
  handle->entry = nullptr;
  handle->argument = 0;
}

int HBN_thread_isStopRequested(HBN_thread_t* handle) {
  if (handle == nullptr || g_table.load() == nullptr) return 1;
  return static_cast<int>(handle->stopRequested.load());
}

void HBN_thread_sleep(int milliseconds) { hbn::platform().sleepMs(milliseconds); }
