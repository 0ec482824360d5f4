// Placeholder bodies; replaced by the real module.
#include "hbn_download.h"

int HBN_download_initialize() { return -1; }
void HBN_download_finalize() {}
int HBN_download_execute(const char* dataUrl, const char* checksumUrl, HBN_download_notice_t notice,
                         int argument) {
  (void)dataUrl;
  (void)checksumUrl;
  (void)notice;
  (void)argument;
  return -1;
}
