// Download worker against the real wget and a loopback HTTP server run by the test: files
// reach the notice and are deleted afterwards, failures give no notice, URLs reach wget as
// one argument, and the two-buffer limit holds.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hbn_download.h"
#include "hbn_log.h"
#include "hbn_log_capture.h"
#include "hbn_os.h"
#include "hbn_test.h"

namespace {

// A minimal HTTP/1.0 server on 127.0.0.1: GET of a known path answers 200 with its content,
// anything else 404. Records every request path.
class HttpServer {
 public:
  explicit HttpServer(std::map<std::string, std::string> files) : files_(std::move(files)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~HttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      answer(client);
      close(client);
    }
  }
  void answer(int client) {
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
      pollfd p{client, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) return;
      ssize_t n = read(client, chunk, sizeof chunk);
      if (n <= 0) return;
      request.append(chunk, static_cast<size_t>(n));
    }
    std::istringstream line(request);
    std::string method, path;
    line >> method >> path;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(path);
    }
    auto found = files_.find(path);
    std::string response =
        found != files_.end() ? "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(found->second.size()) +
                                    "\r\n\r\n" + found->second
                              : std::string("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    size_t sent = 0;
    while (sent < response.size()) {
      ssize_t n = write(client, response.data() + sent, response.size() - sent);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  std::map<std::string, std::string> files_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int temporaryFiles(const std::string& dir) {
  int count = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) count += std::string(entry->d_name).rfind("HBN_DW_", 0) == 0 ? 1 : 0;
    closedir(d);
  }
  return count;
}

// What the notices saw, filled on the download thread.
struct Notice {
  int argument;
  std::string dataPath, checksumPath;
  bool hasChecksum;
  std::string data, checksum;
};

std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<Notice> g_notices;
bool g_holdNotice = false;  // while set, a notice waits (keeps its request's buffer busy)
bool g_inNotice = false;
using hbntest::logCount;

void notice(const char* dataPath, const char* checksumPath, int argument) {
  Notice n{argument,
           dataPath,
           checksumPath ? checksumPath : "",
           checksumPath != nullptr,
           slurp(dataPath),
           checksumPath ? slurp(checksumPath) : ""};
  std::unique_lock<std::mutex> lock(g_mutex);
  g_notices.push_back(n);
  g_inNotice = true;
  g_changed.notify_all();
  g_changed.wait(lock, [] { return !g_holdNotice; });
  g_inNotice = false;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
      unsetenv(name);
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_notices.clear();
      g_holdNotice = false;
    }
    hbntest::SyslogRecorder::start();
    ASSERT_NE(0, server.port());
    ASSERT_EQ(0, HBN_os_initialize());
    ASSERT_EQ(0, HBN_download_initialize());
  }
  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_holdNotice = false;
    }
    g_changed.notify_all();
    HBN_download_finalize();
    HBN_os_finalize();
    HBN_log_setSyslogHook(nullptr);
  }
  // Waits until `count` notices arrived.
  bool waitNotices(size_t count) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(5), [&] { return g_notices.size() >= count; });
  }
  std::vector<Notice> notices() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_notices;
  }
  // Waits until the download thread deleted the file.
  static bool gone(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
      if (access(path.c_str(), F_OK) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  hbntest::Sandbox box;
  HttpServer server{{{"/fw.bin", std::string("firmware\0image", 14)}, {"/fw.md5", "d41d8cd98f00b204"}}};
};

TEST_F(DownloadTest, DataAndChecksumReachTheNoticeAndAreDeletedAfterIt) {
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), server.url("/fw.md5").c_str(), notice, 7));
  ASSERT_TRUE(waitNotices(1));
  Notice n = notices()[0];
  EXPECT_EQ(7, n.argument);
  EXPECT_EQ(std::string("firmware\0image", 14), n.data);
  ASSERT_TRUE(n.hasChecksum);
  EXPECT_EQ("d41d8cd98f00b204", n.checksum);
  // Two distinct temporary files of the fixed form, under the root's /tmp.
  EXPECT_NE(n.dataPath, n.checksumPath);
  for (const std::string& path : {n.dataPath, n.checksumPath}) {
    EXPECT_EQ(0u, path.find(box.path("/tmp/HBN_DW_"))) << path;
    EXPECT_EQ(".tmp", path.substr(path.size() - 4));
    EXPECT_TRUE(gone(path)) << path;
  }
}

TEST_F(DownloadTest, WithoutChecksumOnlyTheDataFileIsFetched) {
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, notice, 1));
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), "", notice, 2));
  ASSERT_TRUE(waitNotices(2));
  for (const Notice& n : notices()) {
    EXPECT_FALSE(n.hasChecksum);
    EXPECT_EQ(14u, n.data.size());
    EXPECT_TRUE(gone(n.dataPath));
  }
  EXPECT_EQ(2u, server.requests().size());
}

TEST_F(DownloadTest, FailedDownloadGivesNoNoticeAndLeavesNoFile) {
  std::string missing = server.url("/missing.bin");
  // Requests are served in order: once the good request's notice came, the failed one before
  // it is done. The second round has a good data file but a missing checksum file.
  ASSERT_EQ(0, HBN_download_execute(missing.c_str(), nullptr, notice, 1));
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.md5").c_str(), nullptr, notice, 2));
  ASSERT_TRUE(waitNotices(1));
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), missing.c_str(), notice, 3));
  // Request 2 has given its buffer back once request 3 is being served.
  for (int i = 0; i < 500 && logCount("DOWNLOAD " + missing + " fail\n") < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.md5").c_str(), nullptr, notice, 4));
  ASSERT_TRUE(waitNotices(2));
  auto seen = notices();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(2, seen[0].argument);
  EXPECT_EQ(4, seen[1].argument);
  EXPECT_EQ(2, logCount("]:DOWNLOAD " + missing + " fail\n"));
  EXPECT_EQ(2, logCount("/HBN_download_allFile["));  // logged under the request's own step
  // Every temporary file of the four requests is gone.
  bool clean = false;
  for (int i = 0; i < 200 && !clean; ++i) {
    clean = temporaryFiles(box.path("/tmp")) == 0;
    if (!clean) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(clean);
}

TEST_F(DownloadTest, UrlReachesWgetAsOneArgumentWithoutShell) {
  std::string marker = box.path("/tmp/pwned");
  std::string url = server.url("/x;touch${IFS}" + marker + "&&$(touch${IFS}" + marker + ")");
  ASSERT_EQ(0, HBN_download_execute(url.c_str(), nullptr, notice, 1));
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.md5").c_str(), nullptr, notice, 2));
  ASSERT_TRUE(waitNotices(1));
  EXPECT_EQ(2, notices()[0].argument);
  EXPECT_NE(0, access(marker.c_str(), F_OK));
  auto requests = server.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_NE(std::string::npos, requests[0].find("touch")) << requests[0];
}

TEST_F(DownloadTest, BadRequestsAreRefused) {
  std::string base = server.url("/");
  std::string longest = base + std::string(1023 - base.size(), 'a');
  std::string tooLong = longest + "a";
  EXPECT_EQ(-1, HBN_download_execute(tooLong.c_str(), nullptr, notice, 1));
  EXPECT_EQ(-1, HBN_download_execute(server.url("/fw.bin").c_str(), tooLong.c_str(), notice, 1));
  EXPECT_EQ(-1, HBN_download_execute("--output-document=/etc/passwd", nullptr, notice, 1));
  EXPECT_EQ(-1, HBN_download_execute(nullptr, nullptr, notice, 1));
  EXPECT_EQ(-1, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, nullptr, 1));
  // 1023 characters is still taken (and fails as an unknown path).
  EXPECT_EQ(0, HBN_download_execute(longest.c_str(), nullptr, notice, 1));
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, notice, 2));
  ASSERT_TRUE(waitNotices(1));
  EXPECT_EQ(2, notices()[0].argument);
  // Refused requests gave their buffers back: both are free again.
  EXPECT_EQ(0, logCount("DOWNLOAD buffer is busy\n"));
}

TEST_F(DownloadTest, ThirdRequestWhileTwoArePendingIsRefused) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_holdNotice = true;
  }
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, notice, 1));
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    ASSERT_TRUE(g_changed.wait_for(lock, std::chrono::seconds(5), [] { return g_inNotice; }));
  }
  ASSERT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, notice, 2));
  EXPECT_EQ(-1, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, notice, 3));
  EXPECT_EQ(1, logCount("DOWNLOAD buffer is busy\n"));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_holdNotice = false;
  }
  g_changed.notify_all();
  ASSERT_TRUE(waitNotices(2));
  EXPECT_EQ(2, notices()[1].argument);
  // Once both are done a new request is taken again.
  EXPECT_EQ(0, HBN_download_execute(server.url("/fw.bin").c_str(), nullptr, notice, 4));
  ASSERT_TRUE(waitNotices(3));
}

}  // namespace
