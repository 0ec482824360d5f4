// The Z-Wave agent's MQTT request dispatch, entered where the library's message-arrived
// callback enters it: the input is a topic (up to the first NUL, the request prefix added
// when the first byte is odd) and a payload (the rest). Requests reach the real core request
// API and adaptation layer; their queue elements are drained after each input.
#include <poll.h>

#include <cstring>
#include <string>

#include "cloud_comm.h"
#include "cloud_request.h"
#include "hbn_cloud.h"
#include "hbn_core.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "kv_api.h"
#include "fuzz_root.h"

namespace {

void quietSyslog(int, const char*) {}
int accept0() { return 0; }
int acceptUrl(const char*, const char*) { return 1; }
int acceptInt(int) { return 0; }
int acceptState(unsigned) { return 0; }
void noNotice(int) {}
void noSecure(int, int) {}
void noReset() {}
int ignoreData(int, const uint8_t*, int) { return 0; }
int ignoreSubject(int) { return 0; }
int ignoreRestore(int, const char*) { return 0; }
int forwardSecure(int, int) { return 0; }

bool start() {
  if (fuzzroot::root().empty()) return false;
  HBN_log_setSyslogHook(quietSyslog);
  if (HBN_os_initialize() != 0 || HBN_core_testSetup() != 0 || HBN_cloud_testSetup() != 0) return false;
  // The platform side does nothing but accept.
  KV_api_interface_t platform{};
  platform.stateChangeNotice = acceptState;
  platform.cloudConnectNotice = noNotice;
  platform.secureRequest = noSecure;
  platform.factoryResetRequest = accept0;
  platform.resetComplite = noReset;
  platform.rebootRequest = accept0;
  platform.firmwareUpdateRequest = acceptUrl;
  platform.execScript = acceptInt;
  if (KV_api_testInstall(&platform, 0) != 0) return false;
  const KV_api_cloudHandler_t handler = {
      KV_api_recvMode,
      KV_api_recvNodeUpdate,
      ignoreData,
      forwardSecure,
      ignoreData,
      ignoreData,
      ignoreSubject,
      ignoreRestore,
      KV_api_recvReset,
      KV_api_recvFwUpdate,
      KV_api_recvExecScript,
      KV_api_getMode,
      KV_api_getNodeList,
      KV_api_stateChange,
  };
  HBN_cloud_setApiHandler(&handler);
  const HBN_core_interface_t core = {
      HBN_core_recvMode,      HBN_core_recvNodeUpdate,      HBN_core_recvNodeRemove,
      HBN_core_recvNodeSend,  HBN_core_recvNodeNopInterval, HBN_core_recvNodeFwUpdate,
      HBN_core_recvNodeKeyZW, HBN_core_recvNodeTestFrame,   HBN_core_recvBackup,
      HBN_core_recvRestore,   HBN_core_recvReset,           HBN_core_getMode,
      HBN_core_getGwID,       HBN_core_recvGwDSK,           HBN_core_getNodeList,
      HBN_core_recvSetPvList, HBN_core_recvGetPvList,       HBN_core_recvGetRssi,
  };
  return HBN_cloud_commTestBegin(&core, "vexor", "SN1") == 0;
}

// True when the queue has an element waiting (no waiting here).
bool hasElement(HBN_queue_t* queue) {
  if (queue == nullptr) return false;
  struct pollfd p = {HBN_queue_getFd(queue), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

void drain() {
  uint32_t kind, a, b, c;
  bool hasBuffer = false;
  uint8_t data[16];
  while (hasElement(HBN_core_testQueue()) &&
         HBN_core_testReceive(1, &kind, &a, &b, &c, &hasBuffer, data, sizeof data) == 0) {
  }
  int length = 0;
  while (hasElement(HBN_cloud_getQueue()) &&
         HBN_cloud_testReceive(1, &kind, &a, &b, &c, data, sizeof data, &length) == 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ok = start();
  if (!ok || size < 1) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t rest = size - 1;
  const void* nul = memchr(text, 0, rest);
  size_t topicLength = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : rest;
  std::string topic = (data[0] & 1) ? "req/vexor/SN1/" : "";
  topic.append(text, topicLength);
  // Exact-size copies, so that a read past either end is caught.
  std::string payload = nul ? std::string(text + topicLength + 1, rest - topicLength - 1) : std::string();
  char* topicCopy = new char[topic.size()];
  memcpy(topicCopy, topic.data(), topic.size());
  char* payloadCopy = payload.empty() ? nullptr : new char[payload.size()];
  if (payloadCopy) memcpy(payloadCopy, payload.data(), payload.size());
  HBN_cloud_commMqttMsgarrvd(topicCopy, static_cast<int>(topic.size()), payloadCopy,
                             static_cast<int>(payload.size()));
  delete[] topicCopy;
  delete[] payloadCopy;
  drain();
  return 0;
}
