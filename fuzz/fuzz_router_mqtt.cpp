// The router agent's MQTT request dispatch, entered where the library's message-arrived
// callback and the session's request worker run it, on a session that counts as connected (answers are built,
// the library is not called). Platform commands and configtool answer in process (fuzz_cloud_commands.cpp).
#include "fuzz_cloud_env.h"
#include "hbn_os.h"
#include "router_cloud_internal.h"

namespace {

int acceptUpdate(const char*, const char*) { return 1; }
int acceptNumber(int) { return 0; }
void noConnection(int, void*) {}

RouterCloud* start() {
  if (!fuzzcloud::prepareRoot() || HBN_os_initialize() != 0) return nullptr;
  RouterCloud* s = new RouterCloud(0, "");
  if (s->link.open() != 0) return nullptr;
  snprintf(s->link.server().serial, sizeof s->link.server().serial, "SN1");
  snprintf(s->link.server().prefix, sizeof s->link.server().prefix, "gw/vexor/SN1/");
  const HBN_cloud_callbacks_t table = {noConnection, acceptUpdate, acceptUpdate, acceptNumber, acceptNumber};
  HBN_cloud_setCallbacks(s, &table, nullptr);
  s->link.mqtt().setState(hbn::kConnected);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RouterCloud* const session = start();
  if (session == nullptr || size < 1) return 0;
  fuzzcloud::Message message(data, size);
  HBN_cloud_commMqttMsgarrvd(session, message.topic, message.topicLength, message.payload,
                             message.payloadLength);
  fuzzcloud::drain(session->link.queue());
  return 0;
}
