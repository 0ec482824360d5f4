#include "fuzz_env.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hbn_buf.h"
#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_core_thread.h"
#include "hbn_ir.h"
#include "hbn_log.h"
#include "hbn_nvm.h"
#include "hbn_os.h"
#include "hbn_zip.h"

namespace fuzzenv {
namespace {

bool g_started = false;
bool g_ok = false;
int g_toAgent = -1;
int g_fromAgent = -1;
HBN_queue_t* g_coreQueue = nullptr;
HBN_core_state_t g_state;

void quietSyslog(int, const char*) {}

// True when the queue has an element waiting (no waiting here).
bool hasElement(HBN_queue_t* queue) {
  if (queue == nullptr) return false;
  struct pollfd p = {HBN_queue_getFd(queue), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

}  // namespace

bool start() {
  if (g_started) return g_ok;
  g_started = true;
  // On a memory file system where there is one: the settings store's fsync then costs nothing.
  char shm[] = "/dev/shm/hbn_fuzz_XXXXXX";
  char tmp[] = "/tmp/hbn_fuzz_XXXXXX";
  const char* made = mkdtemp(shm);
  if (made == nullptr) made = mkdtemp(tmp);
  if (made == nullptr) return false;
  std::string root = made;
  installNoWaitPlatform();
  setenv("HBN_ROOT", root.c_str(), 1);
  // Waits of the transport and the IR pacing shrink to about a millisecond.
  setenv("HBN_TIME_SCALE", "1000", 1);
  HBN_log_setSyslogHook(quietSyslog);
  mkdir((root + "/tmp").c_str(), 0700);
  mkdir((root + "/jffs2").c_str(), 0700);
  mkdir((root + "/jffs2/hbn").c_str(), 0700);
  mkfifo((root + "/tmp/zipgww").c_str(), 0600);
  mkfifo((root + "/tmp/zipgwr").c_str(), 0600);
  g_toAgent = open((root + "/tmp/zipgww").c_str(), O_RDWR | O_NONBLOCK);
  g_fromAgent = open((root + "/tmp/zipgwr").c_str(), O_RDWR | O_NONBLOCK);
  if (g_toAgent < 0 || g_fromAgent < 0) return false;
  if (HBN_os_initialize() != 0 || HBN_nvm_initialize(1) != 0 || HBN_cloud_testSetup() != 0) return false;
  if (HBN_queue_create(&g_coreQueue) != 0) return false;
  g_state.mode.store(0);
  g_state.homeId = 0;
  g_state.gwNodeId = 1;
  HBN_core_threadBind(nullptr, g_coreQueue, &g_state);
  if (HBN_core_zipCmdInit() != 0 || HBN_core_expandCmdInit() != 0) return false;
  g_ok = true;
  return true;
}

void writeToAgent(const uint8_t* data, size_t length) {
  if (length > 60000) length = 60000;  // below the pipe's capacity, so the write never waits
  size_t done = 0;
  while (done < length) {
    ssize_t r = write(g_toAgent, data + done, length - done);
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
}

void drain() {
  uint8_t buf[4096];
  while (read(g_fromAgent, buf, sizeof(buf)) > 0) {
  }
  uint32_t kind, p1, p2, p3;
  int length = 0;
  while (hasElement(HBN_cloud_getQueue()) &&
         HBN_cloud_testReceive(1, &kind, &p1, &p2, &p3, buf, sizeof(buf), &length) == 0) {
  }
  uint32_t w1, w2, w3, w4;
  uintptr_t w5;
  while (hasElement(g_coreQueue) && HBN_queue_receiveTimeout(g_coreQueue, 1, &w1, &w2, &w3, &w4, &w5) == 0) {
  }
  // The mode and the node list keep whatever the reports made of them; that is part of the
  // state space. The transport must not stay busy with an unanswered packet, though.
  HBN_core_zipPacketRelease();
}

}  // namespace fuzzenv
