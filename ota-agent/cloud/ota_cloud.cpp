// The OTA agent's cloud session: its link's settings, connection callbacks and queued
// messages, and the send API.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "hbn_log.h"
#include "ota_cloud_internal.h"
#include "ota_payload.h"
#include "ota_store.h"

namespace {

// The one session of the process.
std::atomic<OtaCloud*> gCloud{nullptr};

}  // namespace

hbn::LinkSpec otaLinkSpec() {
  hbn::LinkSpec spec;
  spec.threadName = "cloud-mqtt";
  spec.reconnectKind = hbn::SessionKind::kOta;
  spec.workerName = "cloud-req";
  spec.poolCount = HBN_OTA_CLOUD_BUF_COUNT;
  spec.poolSize = HBN_OTA_CLOUD_BUF_SIZE;
  spec.outSize = HBN_OTA_PAYLOAD_SIZE;
  spec.answerSize = HBN_OTA_PAYLOAD_SIZE;
  spec.incomingSize = HBN_OTA_PAYLOAD_SIZE + 1;
  spec.waitMs = 5000;
  spec.finishWaitMs = 1000;
  spec.finishKind = HBN_OTA_KIND_FINISH;
  spec.markPowerOn = true;
  spec.routes = kOtaRoutes;
  spec.routeCount = kOtaRouteCount;
  return spec;
}

namespace {

int otaQueue(const char* func, OtaCloud* s, uint32_t kind, uint32_t p1 = 0, uint32_t p2 = 0,
             uintptr_t buffer = 0) {
  if (s == nullptr) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD send queue push fail\n");
    return -1;
  }
  return s->link.send(func, kind, p1, p2, 0, buffer);
}

}  // namespace

// ---------------------------------------------------------------- settings

static bool HBN_cloud_commMqttLoadSetting(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "load setting start\n");
  namespace mib = hbn::mib;
  const hbn::CloudServerIds ids{mib::kSerial,       mib::kServiceCode,    mib::kOtaHost, mib::kOtaPort,
                                mib::kOtaTlsEnable, mib::kOtaLoginEnable, mib::kOtaUser, mib::kOtaPassword};
  if (!s->link.loadServer(ids)) return false;
  HBN_LOG(HBN_LOG_DEBUG, "load setting finish\n");
  const hbn::CloudServer& server = s->link.server();
  char clientId[2 * hbn::kCloudTextSize + 16];
  snprintf(clientId, sizeof clientId, "%s:%s-OTA", server.serviceCode, server.serial);
  s->link.settings() = hbn::sessionSettingsFor(server, clientId, "/jffs2/mqtt/ota/");
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", server.serial, server.host, server.port);
  HBN_LOG(HBN_LOG_DEBUG, "addr  =%s\n", server.uri);
  HBN_LOG(HBN_LOG_DEBUG, "client=%s\n", clientId);
  HBN_LOG(HBN_LOG_DEBUG, "topic =%s\n", server.prefix);
  HBN_LOG(HBN_LOG_DEBUG, "topic =%s\n", server.subscription);
  return true;
}

bool OtaCloud::loadSettings(hbn::CloudLink&) { return HBN_cloud_commMqttLoadSetting(this); }

// ---------------------------------------------------------------- callbacks (library thread)

static void HBN_cloud_commMqttConnectSuccess(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success\n");
  s->link.takeConnection(__func__);
  otaQueue(__func__, s, HBN_OTA_KIND_VERSION);
  HBN_LOG(HBN_LOG_INFO, "OTA server connected:%s\n", s->link.server().uri);
}

static void HBN_cloud_commMqttConnectFailure(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail\n");
  s->link.mqtt().setState(hbn::kDisconnected);
}

static void HBN_cloud_commMqttConnlost(OtaCloud* s) {
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = s->link.mqtt().exchangeState(hbn::kDisconnected);
  if (old != hbn::kDisconnected) otaQueue(__func__, s, HBN_OTA_KIND_LOST);
  HBN_LOG(HBN_LOG_INFO, "OTA server disconnected:%s\n", s->link.server().uri);
}

void OtaCloud::connectSuccess(hbn::CloudLink&) { HBN_cloud_commMqttConnectSuccess(this); }
void OtaCloud::connectFailure(hbn::CloudLink&) { HBN_cloud_commMqttConnectFailure(this); }
void OtaCloud::connectionLost(hbn::CloudLink&) { HBN_cloud_commMqttConnlost(this); }

// ---------------------------------------------------------------- what the shared handlers need

char* OtaCloud::incoming(size_t* capacity) { return link.incoming(capacity); }

void OtaCloud::queueUpload(hbn::ConfigDump which) {
  switch (which) {
    case hbn::kDumpInfo:
      HBN_cloud_sendConfigInfo();
      break;
    case hbn::kDumpServer:
      HBN_cloud_sendConfigServer();
      break;
    case hbn::kDumpUser:
      HBN_cloud_sendConfigUser();
      break;
  }
}

void OtaCloud::resetMqtt() {
  link.mqtt().disconnect();
  // The thread may be waiting in its queue: wake it so it connects again at once.
  link.send("HBN_cloud_commMqttRecvControl", HBN_OTA_KIND_LOST);
}

int OtaCloud::firmwareUpdate(const char* url, const char* checksumUrl) {
  return core.recvFwUpdate != nullptr ? core.recvFwUpdate(url, checksumUrl) : 0;
}

int OtaCloud::certUpdate(const char* url, const char* checksumUrl) {
  return core.recvCertUpdate != nullptr ? core.recvCertUpdate(url, checksumUrl) : 0;
}

void OtaCloud::publishConfigError(const char* name, const char* text, size_t length) {
  HBN_cloud_commMqttSendConfigError(link, name, text, length);
}

void OtaCloud::publishNetInfo(const char* ifname) { HBN_cloud_commMqttSendNetInfo(link, ifname); }

bool OtaCloud::takesRequests() { return hbn::mib::anyCloudEnabled(); }

// ---------------------------------------------------------------- session thread

void OtaCloud::dispatch(hbn::CloudLink&, const hbn::LinkMessage& m) {
  switch (m.kind) {
    case HBN_OTA_KIND_LTEINFO: {
      // The buffer holds the IMEI and then the serial number; their lengths were checked
      // against the buffer when it was queued.
      const char* data = reinterpret_cast<const char*>(m.buffer);
      if (data == nullptr || static_cast<size_t>(m.p1) + m.p2 > HBN_OTA_CLOUD_BUF_SIZE) break;
      // Both values with their terminators for the builder.
      char imei[HBN_OTA_CLOUD_BUF_SIZE + 1];
      char serial[HBN_OTA_CLOUD_BUF_SIZE + 1];
      memcpy(imei, data, m.p1);
      imei[m.p1] = '\0';
      memcpy(serial, data + m.p1, m.p2);
      serial[m.p2] = '\0';
      HBN_cloud_commMqttSendLteInfo(link, imei, serial);
      break;
    }
    case HBN_OTA_KIND_VERSION:
      HBN_cloud_commMqttSendVersion(link, firmwareVersion);
      break;
    case HBN_OTA_KIND_CONFIG_INFO:
      HBN_cloud_commMqttSendConfigInfo(link);
      break;
    case HBN_OTA_KIND_CONFIG_SERVER:
      HBN_cloud_commMqttSendConfigServer(link);
      break;
    case HBN_OTA_KIND_CONFIG_USER:
      HBN_cloud_commMqttSendConfigUser(link);
      break;
    default:  // connection lost and finish only wake the thread
      break;
  }
}

// ---------------------------------------------------------------- start and stop

// Buffers, pool, queue, the request worker and the session thread "cloud-mqtt", whose loop is
// the link's (connect while down, then publish what is queued).
static int HBN_cloud_commInit(OtaCloud* s) { return s->link.start(); }

static void HBN_cloud_commFinish(OtaCloud* s) { s->link.stop(); }

int HBN_cloud_initialize(const HBN_core_interface_t* table) {
  if (table == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "interface is NULL\n");
    return -1;
  }
  if (table->recvFwUpdate == nullptr) {
    HBN_LOG(HBN_LOG_ERROR, "interface function is NULL\n");
    return -1;
  }
  if (gCloud.load() != nullptr) return 0;
  HBN_LOG(HBN_LOG_DEBUG, "BUF count=%d,size=%d\n", HBN_OTA_CLOUD_BUF_COUNT, HBN_OTA_CLOUD_BUF_SIZE);
  OtaCloud* s = new (std::nothrow) OtaCloud(otaLinkSpec());
  if (s == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread memory alloc fail\n");
    return -1;
  }
  s->core = *table;
  hbn::readFirmwareVersion(s->firmwareVersion, sizeof s->firmwareVersion, hbn::kOtaDefaultVersion);
  // Published before the threads run: the callbacks find the session from their first call.
  gCloud.store(s);
  if (HBN_cloud_commInit(s) != 0) {
    gCloud.store(nullptr);
    delete s;
    return -1;
  }
  return 0;
}

void HBN_cloud_finalize() {
  OtaCloud* s = gCloud.exchange(nullptr);
  if (s == nullptr) return;
  HBN_cloud_commFinish(s);
  delete s;
}

int HBN_cloud_isConnected() {
  OtaCloud* s = gCloud.load();
  return s != nullptr && s->link.isConnected() ? 1 : 0;
}

// ---------------------------------------------------------------- send API

void HBN_cloud_sendLteInfo(const char* imei, const char* serial) {
  OtaCloud* s = gCloud.load();
  if (imei == nullptr) imei = "";
  if (serial == nullptr) serial = "";
  size_t imeiLength = strlen(imei);
  size_t serialLength = strlen(serial);
  if (imeiLength + serialLength > HBN_OTA_CLOUD_BUF_SIZE) {
    HBN_LOG(HBN_LOG_ERROR, "CLOUD buffer is small\n");
    return;
  }
  char* buffer =
      s != nullptr && s->link.pool() != nullptr ? static_cast<char*>(HBN_buf_alloc(s->link.pool())) : nullptr;
  if (buffer == nullptr) {
    HBN_LOG(HBN_LOG_WARN, "CLOUD buffer all busy fail\n");
    return;
  }
  memcpy(buffer, imei, imeiLength);
  memcpy(buffer + imeiLength, serial, serialLength);
  if (otaQueue(__func__, s, HBN_OTA_KIND_LTEINFO, static_cast<uint32_t>(imeiLength),
               static_cast<uint32_t>(serialLength), reinterpret_cast<uintptr_t>(buffer)) != 0)
    HBN_buf_free(s->link.pool(), buffer);
}

void HBN_cloud_sendVersion() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_VERSION); }
void HBN_cloud_sendConfigInfo() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_CONFIG_INFO); }
void HBN_cloud_sendConfigServer() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_CONFIG_SERVER); }
void HBN_cloud_sendConfigUser() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_CONFIG_USER); }
