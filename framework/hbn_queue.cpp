#include "hbn_os.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

int HBN_queue_initialize() {
  (void)0;
  return -1;
}
int HBN_queue_finalize() {
  (void)0;
  return -1;
}
int HBN_queue_create(HBN_queue_t** handle) {
  (void)0;
  return -1;
}
void HBN_queue_delete(HBN_queue_t* handle) { (void)0; }
int HBN_queue_send(HBN_queue_t* handle, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                   uintptr_t word5) {
  (void)0;
  return -1;
}
int HBN_queue_receive(HBN_queue_t* handle, uint32_t* word1, uint32_t* word2, uint32_t* word3, uint32_t* word4,
                      uintptr_t* word5) {
  (void)0;
  return -1;
}
int HBN_queue_receiveTimeout(HBN_queue_t* handle, int timeoutMs, uint32_t* word1, uint32_t* word2,
                             uint32_t* word3, uint32_t* word4, uintptr_t* word5) {
  (void)0;
  return -1;
}
int HBN_queue_getFd(HBN_queue_t* handle) {
  (void)0;
  return -1;
}
