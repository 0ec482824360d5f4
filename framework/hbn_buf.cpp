#include "hbn_buf.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

int HBN_buf_create(int count, int size, HBN_buf_t** pool) {
  (void)0;
  return -1;
}
void* HBN_buf_alloc(HBN_buf_t* pool) {
  (void)0;
  return nullptr;
}
int HBN_buf_free(HBN_buf_t* pool, void* payload) {
  (void)0;
  return -1;
}
int HBN_buf_destroy(HBN_buf_t* pool) {
  (void)0;
  return -1;
}
int HBN_mutex_create(HBN_mutex_t* mutex) {
  (void)0;
  return -1;
}
int HBN_mutex_destroy(HBN_mutex_t* mutex) {
  (void)0;
  return -1;
}
int HBN_mutex_lock(HBN_mutex_t* mutex) {
  (void)0;
  return -1;
}
int HBN_mutex_unlock(HBN_mutex_t* mutex) {
  (void)0;
  return -1;
}
void* HBN_mem_alloc(const char* func, int line, size_t size) {
  (void)0;
  return nullptr;
}
void HBN_mem_free(const char* func, int line, void* ptr) { (void)0; }
int HBN_util_base64Length(int n) {
  (void)0;
  return -1;
}
int HBN_util_base64Encode(char* destination, const uint8_t* source, int n) {
  (void)0;
  return -1;
}
