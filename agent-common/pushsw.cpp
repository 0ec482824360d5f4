// Push-switch monitor.
#include "pushsw.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <mutex>

#include "hbn_os.h"
#include "hbn_path.h"
#include "script_request.h"

namespace {

// The level a hold of `ms` has reached: 0 below 1 s, then 1, 3, 5, 10 and 15 s.
int levelOf(uint32_t ms) {
  if (ms >= 15000) return 15;
  if (ms >= 10000) return 10;
  if (ms >= 5000) return 5;
  if (ms >= 3000) return 3;
  if (ms >= 1000) return 1;
  return 0;
}

// The next rung a press at `level` climbs after `ms`, or -1: one rung per cycle, so a long
// hold reports every level in turn.
int nextRung(int level, uint32_t ms) {
  static const int kRungs[] = {1, 3, 5, 10, 15};
  for (int rung : kRungs)
    if (level < rung && ms >= static_cast<uint32_t>(rung) * 1000u) return rung;
  return -1;
}

}  // namespace

namespace {

// The driver file stays open between polls: a poll is one read from offset 0 and one fstat,
// not a path look-up, an open and a close. The file is opened again after a failed read and
// when it was replaced (renamed over, as the demo and the tests do: the open file then has no
// name left). The per-poll failure lines are those of a fresh open and read.
class SwitchFile {
 public:
  // The open driver file, or -1 (nothing printed).
  int get() {
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || st.st_nlink == 0)) close();
    if (fd_ < 0) fd_ = open(HBN_path("/proc/kv_pushsw").c_str(), O_RDONLY | O_CLOEXEC);
    return fd_;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::mutex gSwitchLock;
SwitchFile gSwitch;

}  // namespace

int pushSwitchRead(int* state, uint32_t* holdMs) {
  *state = 0;
  *holdMs = 0;
  char text[62] = {0};
  ssize_t n = -1;
  {
    std::lock_guard<std::mutex> guard(gSwitchLock);
    int fd = gSwitch.get();
    if (fd < 0) {
      std::fputs("KV_TX440:Process Info Open Fail\n", stderr);
      return -1;
    }
    n = pread(fd, text, 61, 0);
    if (n < 0) gSwitch.close();
  }
  bool ok = n == 10;
  for (int i = 1; ok && i <= 8; ++i) ok = std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
  if (!ok) {
    std::fputs("KV_TX440:Process Info Read Fail\n", stderr);
    return -1;
  }
  text[9] = '\0';
  *state = text[0] == 'P' ? PUSHSW_PRESSED : text[0] == 'R' ? PUSHSW_RELEASED : PUSHSW_IDLE;
  uint32_t ms = 0;
  for (int i = 1; i <= 8; ++i) {
    char c = text[i];
    uint32_t digit = std::isdigit(static_cast<unsigned char>(c))
                         ? static_cast<uint32_t>(c - '0')
                         : static_cast<uint32_t>(std::tolower(c) - 'a' + 10);
    ms = (ms << 4) | digit;
  }
  *holdMs = ms;
  return 0;
}

void pushSwitchStep(pushSwitchState_t* s) {
  int state = 0;
  uint32_t ms = 0;
  if (pushSwitchRead(&state, &ms) != 0) return;
  if (state == PUSHSW_PRESSED) {
    if (s->armed) {
      int rung = nextRung(s->pressLevel, ms);
      if (rung >= 0) {
        s->pressLevel = rung;
        s->pendingPress = rung;
      }
      s->releaseLevel = 0;
    }
  } else if (state == PUSHSW_RELEASED) {
    if (!s->armed) {
      s->armed = 1;
    } else {
      s->releaseLevel = levelOf(ms);
      s->pendingRelease = s->releaseLevel;
      s->pressLevel = 0;
    }
  } else {
    s->armed = 1;
    s->pressLevel = 0;
    s->releaseLevel = 0;
    s->pendingPress = -1;
    s->pendingRelease = -1;
  }
  if (s->pendingPress >= 0) {
    execScriptRequest(SCRIPT_KIND_HOLD, s->pendingPress);
    s->pendingPress = -1;
  } else if (s->pendingRelease >= 0) {
    execScriptRequest(SCRIPT_KIND_RELEASE, s->pendingRelease);
    s->pendingRelease = -1;
  }
}

void pushSwitchMonitor() {
  pushSwitchState_t s;
  for (;;) {
    pushSwitchStep(&s);
    std::fflush(stdout);
    HBN_thread_sleep(PUSHSW_CYCLE_MS);
  }
}
