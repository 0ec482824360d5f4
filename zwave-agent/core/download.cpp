// Download worker: one thread that fetches queued URLs with wget into temporary files, hands
// them to the requester's notice and deletes them afterwards.
#include "hbn_download.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "hbn_buf.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"

namespace {

// One request, held in a pool buffer from HBN_download_execute until the thread is done.
struct Request {
  char dataUrl[HBN_DOWNLOAD_URL_SIZE];
  char checksumUrl[HBN_DOWNLOAD_URL_SIZE];  // "" when there is none
  HBN_download_notice_t notice;
  int32_t argument;
};
static_assert(sizeof(void*) != 4 || sizeof(Request) == 2056, "a request fills one 2056-byte buffer");

struct DownloadRecord {
  std::mutex lifecycle;  // serialises initialise / finalise
  std::atomic<HBN_buf_t*> pool{nullptr};
  std::atomic<HBN_queue_t*> queue{nullptr};
  std::atomic<int> run{0};
  HBN_thread_t* thread = nullptr;
};

DownloadRecord g_download;

constexpr int kNameAttempts = 1000;

// Reserves a fresh temporary file "/tmp/HBN_DW_<n>.tmp", n starting at the current second.
// Creating it exclusively makes the data and checksum names of one request (and of requests
// in the same second) distinct, and keeps wget from writing through a planted link.
bool HBN_download_tmpname(std::string* name) {
  long base = static_cast<long>(std::time(nullptr));
  for (int i = 0; i < kNameAttempts; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "/tmp/HBN_DW_%d.tmp", static_cast<int>(base + i));
    std::string path = HBN_path(text);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      *name = path;
      HBN_LOG(HBN_LOG_DEBUG, "DOWNLOAD tmp=%s\n", name->c_str());
      return true;
    }
    if (errno != EEXIST) break;
  }
  HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD tmp file create fail(%d)\n", errno);
  return false;
}

// wget gets the URL as one argument; no shell sees it.
bool HBN_download_oneFile(const char* url, const std::string& path) {
  std::string shown = "wget -q -O " + path + " " + url;
  HBN_LOG(HBN_LOG_DEBUG, "DOWNLOAD cmd=%s\n", shown.c_str());
  const char* argv[] = {"wget", "-q", "-O", path.c_str(), url, nullptr};
  int status = HBN_cmd_exec(argv);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reserves a name for each file and downloads it; a path that was set stays set for the
// clean-up either way.
void HBN_download_allFile(const Request& request) {
  std::string dataPath;
  std::string checksumPath;
  bool hasChecksum = request.checksumUrl[0] != '\0';
  const char* urls[2] = {request.dataUrl, hasChecksum ? request.checksumUrl : nullptr};
  std::string* paths[2] = {&dataPath, &checksumPath};
  bool ok = true;
  for (int i = 0; ok && i < 2 && urls[i] != nullptr; ++i) {
    ok = HBN_download_tmpname(paths[i]);
    if (ok && !HBN_download_oneFile(urls[i], *paths[i])) {
      HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD %s fail\n", urls[i]);
      ok = false;
    }
  }
  if (ok) request.notice(dataPath.c_str(), hasChecksum ? checksumPath.c_str() : nullptr, request.argument);
  if (!dataPath.empty()) unlink(dataPath.c_str());
  if (!checksumPath.empty()) unlink(checksumPath.c_str());
}

void HBN_download_thread(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  (void)argument;
  HBN_LOG(HBN_LOG_DEBUG, "DOWNLOAD thread start\n");
  HBN_LOG(HBN_LOG_DEBUG, "DOWNLOAD thread run\n");
  HBN_queue_t* queue = g_download.queue.load();
  HBN_buf_t* pool = g_download.pool.load();
  while (g_download.run.load() != 0) {
    uint32_t kind = 0, first = 0, second = 0, third = 0;
    uintptr_t buffer = 0;
    if (HBN_queue_receive(queue, &kind, &first, &second, &third, &buffer) < 0) {
      HBN_LOG(HBN_LOG_WARN, "DOWNLOAD queue pop fail\n");
      HBN_thread_sleep(100);  // a broken queue must not spin
      continue;
    }
    if (buffer == 0) continue;  // the wake-up
    HBN_download_allFile(*reinterpret_cast<const Request*>(buffer));
    HBN_buf_free(pool, reinterpret_cast<void*>(buffer));
  }
  HBN_LOG(HBN_LOG_DEBUG, "DOWNLOAD thread finish\n");
}

void deletePoolAndQueue() {
  HBN_queue_t* queue = g_download.queue.exchange(nullptr);
  HBN_buf_t* pool = g_download.pool.exchange(nullptr);
  if (queue != nullptr) HBN_queue_delete(queue);
  if (pool != nullptr) HBN_buf_destroy(pool);
}

// Copies a URL into its request field; false (logged) when it does not fit or could be taken
// for a wget option.
bool copyUrl(char* field, const char* url) {
  size_t length = strnlen(url, HBN_DOWNLOAD_URL_SIZE);
  if (length >= HBN_DOWNLOAD_URL_SIZE) {
    HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD URL is too long\n");
    return false;
  }
  if (url[0] == '-') {
    HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD URL is invalid\n");
    return false;
  }
  std::memcpy(field, url, length + 1);
  return true;
}

}  // namespace

int HBN_download_initialize() {
  std::lock_guard<std::mutex> lock(g_download.lifecycle);
  if (g_download.queue.load() != nullptr) return 0;
  HBN_buf_t* pool = nullptr;
  if (HBN_buf_create(HBN_DOWNLOAD_BUF_COUNT, static_cast<int>(sizeof(Request)), &pool) != 0) return -1;
  HBN_queue_t* queue = nullptr;
  if (HBN_queue_create(&queue) != 0) {
    HBN_buf_destroy(pool);
    return -1;
  }
  g_download.pool.store(pool);
  g_download.queue.store(queue);
  g_download.run.store(1);
  int result = HBN_thread_create(&g_download.thread, "download", 2048, HBN_download_thread, 0);
  if (result != 0) {
    HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD thread create fail(%d)\n", result);
    g_download.run.store(0);
    g_download.thread = nullptr;
    deletePoolAndQueue();
    return -1;
  }
  return 0;
}

void HBN_download_finalize() {
  std::lock_guard<std::mutex> lock(g_download.lifecycle);
  HBN_queue_t* queue = g_download.queue.load();
  if (queue == nullptr) return;
  // The flag is cleared before the wake-up, so the woken thread cannot block again.
  g_download.run.store(0);
  HBN_queue_send(queue, 0, 0, 0, 0, 0);
  HBN_thread_stop(g_download.thread);
  g_download.thread = nullptr;
  deletePoolAndQueue();
}

int HBN_download_execute(const char* dataUrl, const char* checksumUrl, HBN_download_notice_t notice,
                         int argument) {
  HBN_LOG(HBN_LOG_DEBUG, "data  =%s\n", dataUrl != nullptr ? dataUrl : "");
  HBN_LOG(HBN_LOG_DEBUG, "sum   =%s\n", checksumUrl != nullptr ? checksumUrl : "");
  HBN_LOG(HBN_LOG_DEBUG, "notice=%p\n", reinterpret_cast<void*>(notice));
  HBN_LOG(HBN_LOG_DEBUG, "arg   =%d\n", argument);
  if (dataUrl == nullptr || notice == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD argument is NULL\n");
    return -1;
  }
  HBN_buf_t* pool = g_download.pool.load();
  HBN_queue_t* queue = g_download.queue.load();
  if (pool == nullptr || queue == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD not initialized\n");
    return -1;
  }
  Request* request = static_cast<Request*>(HBN_buf_alloc(pool));
  if (request == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "DOWNLOAD buffer is busy\n");
    return -1;
  }
  request->checksumUrl[0] = '\0';
  if (!copyUrl(request->dataUrl, dataUrl) ||
      (checksumUrl != nullptr && !copyUrl(request->checksumUrl, checksumUrl))) {
    HBN_buf_free(pool, request);
    return -1;
  }
  request->notice = notice;
  request->argument = argument;
  if (HBN_queue_send(queue, 1, 0, 0, 0, reinterpret_cast<uintptr_t>(request)) != 0) {
    HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
    HBN_buf_free(pool, request);
    return -1;
  }
  return 0;
}
