// Buffer pool: `count` buffers of `size` bytes in one heap block, taken and given back in
// constant time under the pool's mutex. Also the mutex and heap wrappers and Base64.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>

struct HBN_buf_t;

// 0 and *pool set, or -1 ("argument is NULL", "memory buffer alloc fail").
int HBN_buf_create(int count, int size, HBN_buf_t** pool);
// A payload address from the free list, or nullptr ("buffer is all busy" at Warning).
void* HBN_buf_alloc(HBN_buf_t* pool);
// The same, waiting up to `timeoutMs` for a buffer given back while all are busy (0: no wait);
// "buffer is all busy" is logged once, when none came in time.
void* HBN_buf_allocTimeout(HBN_buf_t* pool, int timeoutMs);
// Puts the buffer at the front of the free list: the next alloc returns it. 0, or -1 for a
// null argument or a pointer that is not one of this pool's payloads.
int HBN_buf_free(HBN_buf_t* pool, void* payload);
// Frees the whole block, whatever is still handed out. 0 or -1.
int HBN_buf_destroy(HBN_buf_t* pool);

using HBN_mutex_t = pthread_mutex_t;
// A null pointer is a programming error: logged, then abort().
int HBN_mutex_create(HBN_mutex_t* mutex);
int HBN_mutex_destroy(HBN_mutex_t* mutex);
int HBN_mutex_lock(HBN_mutex_t* mutex);    // 0 or -1
int HBN_mutex_unlock(HBN_mutex_t* mutex);  // 0 or -1

void* HBN_mem_alloc(const char* func, int line, size_t size);
void HBN_mem_free(const char* func, int line, void* ptr);

// Size of the Base64 text of n bytes including its NUL: (n + 2) / 3 * 4 + 1.
int HBN_util_base64Length(int n);
// Encodes n bytes with padding and a NUL; returns the bytes written including the NUL.
int HBN_util_base64Encode(char* destination, const uint8_t* source, int n);
