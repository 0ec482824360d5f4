#include "hbn_os.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

int HBN_os_initialize() {
  (void)0;
  return -1;
}
int HBN_os_finalize() {
  (void)0;
  return -1;
}
