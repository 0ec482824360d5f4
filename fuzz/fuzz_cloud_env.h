// What the router and OTA dispatch harnesses share: a root whose platform commands are no-op
// fakes (a fuzzed "control" or configuration request must never reach this machine's reboot,
// sysconf or configtool), a store with a cloud enabled, and the split of one input into a
// topic and a payload as the library delivers them.
#pragma once
#include <poll.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "apmib.h"
#include "fuzz_root.h"
#include "hbn_log.h"
#include "hbn_os.h"

namespace fuzzcloud {

inline void quietSyslog(int, const char*) {}

// Installs the harness's platform, on which commands answer at once (fuzz_cloud_commands.cpp).
void installNoCommandPlatform();

// False when the root could not be prepared.
inline bool prepareRoot() {
  installNoCommandPlatform();
  if (fuzzroot::root().empty()) return false;
  HBN_log_setSyslogHook(quietSyslog);
  const char fake[] = "#!/bin/sh\nexit 0\n";
  for (const char* command : {"reboot", "auxlink", "sysconf", "kv_lte_reset.sh", "configtool"}) {
    std::string path = std::string("/bin/") + command;
    if (!fuzzroot::writeFile(path, fake, sizeof fake - 1)) return false;
    chmod((fuzzroot::root() + path).c_str(), 0755);
  }
  const char store[] = "7101=1\n";
  if (!fuzzroot::writeFile("/var/apmib/store.txt", store, sizeof store - 1)) return false;
  apmib_init();
  return true;
}

// Discards what the handlers queued for the agent's threads (nothing waits here).
inline void drain(HBN_queue_t* queue) {
  struct pollfd p = {HBN_queue_getFd(queue), POLLIN, 0};
  uint32_t kind, a, b, c;
  uintptr_t buffer;
  while (poll(&p, 1, 0) == 1 && (p.revents & POLLIN) &&
         HBN_queue_receive(queue, &kind, &a, &b, &c, &buffer) == 0) {
  }
}

// One input: topic up to the first NUL (after "req/vexor/SN1/" when the first byte is odd),
// payload the rest; exact-size heap copies, so a read past either end is caught.
struct Message {
  std::string topicText;
  char* topic = nullptr;
  char* payload = nullptr;
  int topicLength = 0;
  int payloadLength = 0;
  Message(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t rest = size - 1;
    const void* nul = memchr(text, 0, rest);
    size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : rest;
    topicText = (data[0] & 1) ? "req/vexor/SN1/" : "";
    topicText.append(text, length);
    topic = new char[topicText.size() + 1];
    memcpy(topic, topicText.data(), topicText.size());
    topicLength = static_cast<int>(topicText.size());
    if (nul != nullptr && rest > length + 1) {
      payloadLength = static_cast<int>(rest - length - 1);
      payload = new char[payloadLength];
      memcpy(payload, text + length + 1, static_cast<size_t>(payloadLength));
    }
  }
  ~Message() {
    delete[] topic;
    delete[] payload;
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

}  // namespace fuzzcloud
