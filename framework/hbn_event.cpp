#include "hbn_os.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

int HBN_event_initialize() {
  (void)0;
  return -1;
}
int HBN_event_finalize() {
  (void)0;
  return -1;
}
int HBN_event_create(HBN_event_t** handle, uint16_t mask) {
  (void)0;
  return -1;
}
int HBN_event_delete(HBN_event_t* handle) {
  (void)0;
  return -1;
}
int HBN_event_set(HBN_event_t* handle, uint16_t flags) {
  (void)0;
  return -1;
}
int HBN_event_clear(HBN_event_t* handle, uint16_t flags) {
  (void)0;
  return -1;
}
int HBN_event_get(HBN_event_t* handle, uint16_t* flags) {
  (void)0;
  return -1;
}
int HBN_event_waitAny(HBN_event_t* handle, uint16_t* flags) {
  (void)0;
  return -1;
}
int HBN_event_waitAll(HBN_event_t* handle) {
  (void)0;
  return -1;
}
