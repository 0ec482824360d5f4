#include "hbn_os.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

int HBN_thread_initialize() {
  (void)0;
  return -1;
}
int HBN_thread_finalize() {
  (void)0;
  return -1;
}
int HBN_thread_create(HBN_thread_t** handle, const char* name, int stackSize, HBN_thread_entry_t entry,
                      uintptr_t argument) {
  (void)0;
  return -1;
}
void HBN_thread_stop(HBN_thread_t* handle) { (void)0; }
int HBN_thread_isStopRequested(HBN_thread_t* handle) {
  (void)0;
  return -1;
}
void HBN_thread_sleep(int milliseconds) { (void)0; }
