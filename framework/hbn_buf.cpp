// Buffer pool, mutex and heap wrappers, Base64.
// A pool is one heap block: a header with the lock and two list heads, then `count` elements,
// each a two-pointer link followed by the payload. Alloc and free are constant-time moves of
// an element between the heads of the free and busy lists.
#include "hbn_buf.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <new>

#include "hbn_log.h"

namespace {

struct Link {
  Link* prev;
  Link* next;
};

constexpr size_t kAlign = alignof(std::max_align_t);

size_t roundUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// Unlinks `element` from whichever list holds it and puts it right after `head`.
void moveToFront(Link* element, Link* head) {
  if (element->next != nullptr) element->next->prev = element->prev;
  if (element->prev != nullptr) element->prev->next = element->next;
  if (head->next != nullptr) head->next->prev = element;
  element->next = head->next;
  element->prev = head;
  head->next = element;
}

}  // namespace

struct HBN_buf_t {
  std::mutex lock;
  std::condition_variable freed;  // notified when a buffer goes back to the free list
  Link busyList;
  Link freeList;
  size_t stride;  // element size: link plus payload, rounded up so every link stays aligned
  int count;
  unsigned char* elements;
};

namespace {

constexpr size_t kHeaderSize = (sizeof(HBN_buf_t) + kAlign - 1) / kAlign * kAlign;
constexpr size_t kLinkSize = (sizeof(Link) + kAlign - 1) / kAlign * kAlign;

}  // namespace

int HBN_buf_create(int count, int size, HBN_buf_t** pool) {
  if (pool == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  if (count <= 0 || size < 0) {
    HBN_log_print(HBN_LOG_ERROR, "argument is invalid(count=%d,size=%d)\n", count, size);
    return -1;
  }
  size_t stride = roundUp(kLinkSize + static_cast<size_t>(size));
  if (static_cast<size_t>(count) > (static_cast<size_t>(-1) - kHeaderSize) / stride) {
    HBN_log_print(HBN_LOG_ERROR, "memory buffer alloc fail\n");
    return -1;
  }
  void* block = malloc(kHeaderSize + stride * static_cast<size_t>(count));
  if (block == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "memory buffer alloc fail\n");
    return -1;
  }
  HBN_buf_t* created = new (block) HBN_buf_t;
  created->busyList = Link{nullptr, nullptr};
  created->freeList = Link{nullptr, nullptr};
  created->stride = stride;
  created->count = count;
  created->elements = static_cast<unsigned char*>(block) + kHeaderSize;
  // Address order: the head's next is element 0, each element points on to the following one.
  Link* previous = &created->freeList;
  for (int i = 0; i < count; ++i) {
    Link* element = new (created->elements + stride * static_cast<size_t>(i)) Link{previous, nullptr};
    previous->next = element;
    previous = element;
  }
  *pool = created;
  return 0;
}

void* HBN_buf_alloc(HBN_buf_t* pool) { return HBN_buf_allocTimeout(pool, 0); }

void* HBN_buf_allocTimeout(HBN_buf_t* pool, int timeoutMs) {
  if (pool == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return nullptr;
  }
  Link* element = nullptr;
  {
    std::unique_lock<std::mutex> lock(pool->lock);
    if (pool->freeList.next == nullptr && timeoutMs > 0)
      pool->freed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [pool] { return pool->freeList.next != nullptr; });
    element = pool->freeList.next;
    if (element != nullptr) moveToFront(element, &pool->busyList);
  }
  if (element == nullptr) {
    HBN_log_print(HBN_LOG_WARN, "buffer is all busy\n");
    return nullptr;
  }
  return reinterpret_cast<unsigned char*>(element) + kLinkSize;
}

int HBN_buf_free(HBN_buf_t* pool, void* payload) {
  if (pool == nullptr || payload == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  // A pointer that is not one of this pool's payloads would corrupt the lists: refuse it.
  uintptr_t address = reinterpret_cast<uintptr_t>(payload);
  uintptr_t first = reinterpret_cast<uintptr_t>(pool->elements) + kLinkSize;
  uintptr_t span = pool->stride * static_cast<size_t>(pool->count);
  if (address < first || address - first >= span || (address - first) % pool->stride != 0) {
    HBN_log_print(HBN_LOG_ERROR, "buffer is not of this pool\n");
    return -1;
  }
  Link* element = reinterpret_cast<Link*>(static_cast<unsigned char*>(payload) - kLinkSize);
  {
    std::lock_guard<std::mutex> guard(pool->lock);
    moveToFront(element, &pool->freeList);
  }
  pool->freed.notify_one();
  return 0;
}

int HBN_buf_destroy(HBN_buf_t* pool) {
  if (pool == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  pool->~HBN_buf_t();
  free(pool);
  return 0;
}

int HBN_mutex_create(HBN_mutex_t* mutex) {
  if (mutex == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    abort();
  }
  if (pthread_mutex_init(mutex, nullptr) != 0) {
    HBN_log_print(HBN_LOG_ERROR, "mutex create fail\n");
    return -1;
  }
  return 0;
}

int HBN_mutex_destroy(HBN_mutex_t* mutex) {
  if (mutex == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  if (pthread_mutex_destroy(mutex) != 0) {
    HBN_log_print(HBN_LOG_ERROR, "mutex destroy fail\n");
    return -1;
  }
  return 0;
}

int HBN_mutex_lock(HBN_mutex_t* mutex) {
  if (mutex == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  if (pthread_mutex_lock(mutex) != 0) {
    HBN_log_print(HBN_LOG_ERROR, "mutex lock fail\n");
    return -1;
  }
  return 0;
}

int HBN_mutex_unlock(HBN_mutex_t* mutex) {
  if (mutex == nullptr) {
    HBN_log_print(HBN_LOG_ERROR, "argument is NULL\n");
    return -1;
  }
  if (pthread_mutex_unlock(mutex) != 0) {
    HBN_log_print(HBN_LOG_ERROR, "mutex unlock fail\n");
    return -1;
  }
  return 0;
}

void* HBN_mem_alloc(const char* func, int line, size_t size) {
  (void)func;
  (void)line;
  return malloc(size);
}

void HBN_mem_free(const char* func, int line, void* ptr) {
  (void)func;
  (void)line;
  free(ptr);
}

int HBN_util_base64Length(int n) {
  if (n < 0) n = 0;
  return (n + 2) / 3 * 4 + 1;
}

int HBN_util_base64Encode(char* destination, const uint8_t* source, int n) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (destination == nullptr) return 0;
  if (source == nullptr || n < 0) n = 0;
  char* out = destination;
  int i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t group = (uint32_t{source[i]} << 16) | (uint32_t{source[i + 1]} << 8) | source[i + 2];
    *out++ = kAlphabet[(group >> 18) & 0x3f];
    *out++ = kAlphabet[(group >> 12) & 0x3f];
    *out++ = kAlphabet[(group >> 6) & 0x3f];
    *out++ = kAlphabet[group & 0x3f];
  }
  if (n - i == 1) {
    uint32_t group = uint32_t{source[i]} << 16;
    *out++ = kAlphabet[(group >> 18) & 0x3f];
    *out++ = kAlphabet[(group >> 12) & 0x3f];
    *out++ = '=';
    *out++ = '=';
  } else if (n - i == 2) {
    uint32_t group = (uint32_t{source[i]} << 16) | (uint32_t{source[i + 1]} << 8);
    *out++ = kAlphabet[(group >> 18) & 0x3f];
    *out++ = kAlphabet[(group >> 12) & 0x3f];
    *out++ = kAlphabet[(group >> 6) & 0x3f];
    *out++ = '=';
  }
  *out++ = '\0';
  return static_cast<int>(out - destination);
}
