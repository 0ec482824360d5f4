// Download worker: fetches a data file and an optional checksum file named by URLs with the
// platform's wget, on its own thread "download", then calls the caller's notice with the two
// temporary paths and deletes the files when the notice returns.
#pragma once
#include <cstdint>

enum {
  HBN_DOWNLOAD_BUF_COUNT = 2,
  HBN_DOWNLOAD_URL_SIZE = 1024,  // URLs of 1024 characters or more are refused
};

// Called on the download thread. `checksumPath` is null when no checksum URL was given. The
// files are deleted right after the notice returns.
using HBN_download_notice_t = void (*)(const char* dataPath, const char* checksumPath, int argument);

// Pool, queue and thread. 0 or -1.
int HBN_download_initialize();
void HBN_download_finalize();
// Queues one request; `checksumUrl` may be null or empty. 0 queued, -1 refused (no free buffer,
// a URL too long, no notice, not initialised, queue write failed).
int HBN_download_execute(const char* dataUrl, const char* checksumUrl, HBN_download_notice_t notice,
                         int argument);
