#include "hbn_platform.h"

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "hbn_runner_internal.h"

namespace hbn {

namespace {

LinuxPlatform gLinux;
std::atomic<Platform*> gPlatform{nullptr};

}  // namespace

Platform& platform() {
  Platform* installed = gPlatform.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : gLinux;
}

void setPlatform(Platform* replacement) { gPlatform.store(replacement, std::memory_order_release); }

// ---------------------------------------------------------------- Linux

long long LinuxPlatform::monotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

long LinuxPlatform::timeScale() {
  // Read at each call: tests set it between the programs they start.
  const char* text = getenv("HBN_TIME_SCALE");
  long scale = text != nullptr ? strtol(text, nullptr, 10) : 1;
  return scale > 1 ? scale : 1;
}

void LinuxPlatform::sleepMs(long ms) {
  if (ms <= 0) return;
  struct timespec request = {static_cast<time_t>(ms / 1000), (ms % 1000) * 1000000L};
  struct timespec remaining;
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

int LinuxPlatform::poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}

int LinuxPlatform::command(const char* commandLine, const char* const argv[], long timeoutMs,
                           CommandLife life) {
  return runner::run(commandLine, argv, timeoutMs, life == CommandLife::kOutlivesCaller);
}

const char* LinuxPlatform::root() {
  const char* root = getenv("HBN_ROOT");
  return root != nullptr ? root : "";
}

bool LinuxPlatform::interfaceExists(const char* ifname) {
  std::string path = std::string(root()) + "/sys/class/net/" + (ifname != nullptr ? ifname : "");
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------- test

void TestPlatform::setRoot(const std::string& root) {
  std::lock_guard<std::mutex> guard(lock_);
  root_ = root;
}

void TestPlatform::setCommands(CommandHandler handler) {
  std::lock_guard<std::mutex> guard(lock_);
  commands_ = std::move(handler);
}

void TestPlatform::addInterface(const std::string& ifname) {
  std::lock_guard<std::mutex> guard(lock_);
  interfaces_.insert(ifname);
}

int TestPlatform::poll(struct pollfd* fds, nfds_t count, int timeoutMs) {
  int ready = ::poll(fds, count, 0);
  if (ready == 0 && timeoutMs > 0) advance(timeoutMs);
  return ready;
}

int TestPlatform::command(const char* commandLine, const char* const argv[], long timeoutMs, CommandLife) {
  CommandHandler handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handler = commands_;
  }
  return handler ? handler(commandLine, argv, timeoutMs) : 0;
}

const char* TestPlatform::root() {
  std::lock_guard<std::mutex> guard(lock_);
  return root_.c_str();
}

bool TestPlatform::interfaceExists(const char* ifname) {
  std::lock_guard<std::mutex> guard(lock_);
  return ifname != nullptr && interfaces_.count(ifname) != 0;
}

}  // namespace hbn
