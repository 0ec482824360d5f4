// Script requests: one message per event on the script runner's queue.
#include "script_request.h"

#include <fcntl.h>
#include <mqueue.h>

#include <atomic>
#include <cstdio>

#include "hbn_path.h"

namespace {
std::atomic<bool> gConsole{true};
}

void execScriptRequestSetConsole(bool on) { gConsole.store(on); }

int execScriptRequest(int kind, int value) {
  bool console = gConsole.load();
  if (console) std::printf("execScriptRequest(%d,%d)\n", kind, value);
  if (static_cast<unsigned>(kind) >= 3 || (kind == SCRIPT_KIND_CLOUD && static_cast<unsigned>(value) >= 10))
    return -1;
  char text[32];
  int length = std::snprintf(text, sizeof text, "%d,%d", kind, value);
  if (console) std::printf("send msg=%d,%s\n", length, text);

  // Non-blocking: a full queue (script runner not reading) loses this event instead of
  // stalling the caller, which for the push switch is the main thread.
  mqd_t queue = mq_open(HBN_path_scriptQueue(), O_WRONLY | O_NONBLOCK);
  if (queue == static_cast<mqd_t>(-1)) {
    std::perror("mq_open fail");
    return -1;
  }
  int result = 0;
  if (mq_send(queue, text, static_cast<size_t>(length), 0) != 0) {
    std::perror("mq_send fail");
    result = -1;
  }
  if (mq_close(queue) != 0) std::perror("mq_close fail");
  return result;
}
