// The OTA agent's cloud session: settings, the session thread, the connection state and the
// send API.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "hbn_log.h"
#include "ota_cloud_internal.h"

namespace {

// The one session of the process.
std::atomic<OtaCloud*> gCloud{nullptr};
// The wall-clock time at which the clock was first found synchronised.
std::atomic<int64_t> gPowerOn{0};

}  // namespace

int64_t otaPowerOnTime() { return gPowerOn.load(); }

// ---------------------------------------------------------------- shared helpers

int otaQueue(const char* func, OtaCloud* cloud, uint32_t kind, uint32_t p1, uint32_t p2, uintptr_t buffer) {
  if (cloud == nullptr || cloud->queue == nullptr ||
      HBN_queue_sendTimeout(cloud->queue, 0, kind, p1, p2, 0, buffer) != 0) {
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD send queue push fail\n");
    return -1;
  }
  return 0;
}

void otaPublish(const char* func, OtaCloud* cloud, const char* name, const char* payload, size_t length,
                bool onlyConnected) {
  char topic[OTA_TOPIC_SIZE];
  int n = snprintf(topic, sizeof topic, "%s%s", cloud->server.prefix, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof topic) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT topic too long:%s\n", name);
    return;
  }
  cloud->mqtt.publish(func, topic, payload, static_cast<int>(length), onlyConnected);
}

// ---------------------------------------------------------------- settings

static void HBN_cloud_commMqttLoadSetting(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "load setting start\n");
  namespace mib = hbn::mib;
  const hbn::CloudServerIds ids{mib::kSerial,       mib::kServiceCode,    mib::kOtaHost, mib::kOtaPort,
                                mib::kOtaTlsEnable, mib::kOtaLoginEnable, mib::kOtaUser, mib::kOtaPassword};
  if (!hbn::loadCloudServer(ids, s->running, &s->server)) return;
  HBN_LOG(HBN_LOG_DEBUG, "load setting finish\n");
  snprintf(s->clientId, sizeof s->clientId, "%s:%s-OTA", s->server.serviceCode, s->server.serial);
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", s->server.serial, s->server.host, s->server.port);
  HBN_LOG(HBN_LOG_DEBUG, "addr  =%s\n", s->server.uri);
  HBN_LOG(HBN_LOG_DEBUG, "client=%s\n", s->clientId);
  HBN_LOG(HBN_LOG_DEBUG, "topic =%s\n", s->server.prefix);
  HBN_LOG(HBN_LOG_DEBUG, "topic =%s\n", s->server.subscription);
}

// ---------------------------------------------------------------- connection (session thread)

static void HBN_cloud_commMqttConnect(OtaCloud* s) {
  int rc = s->mqtt.connect();
  if (rc != MQTTASYNC_SUCCESS && rc != 1) HBN_LOG(HBN_LOG_WARN, "MQTT async connect fail(%d)\n", rc);
}

// ---------------------------------------------------------------- callbacks (library thread)

static void HBN_cloud_commMqttConnectSuccess(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success\n");
  s->mqtt.setState(hbn::kConnected);
  s->mqtt.noDelay();
  int rc = s->mqtt.subscribe();
  if (rc != MQTTASYNC_SUCCESS) HBN_LOG(HBN_LOG_WARN, "MQTT subscribe fail(%d)\n", rc);
  otaQueue(__func__, s, HBN_OTA_KIND_VERSION);
  HBN_LOG(HBN_LOG_INFO, "OTA server connected:%s\n", s->server.uri);
}

static void HBN_cloud_commMqttConnectFailure(OtaCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail\n");
  s->mqtt.setState(hbn::kDisconnected);
}

static void HBN_cloud_commMqttConnlost(OtaCloud* s) {
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = s->mqtt.exchangeState(hbn::kDisconnected);
  if (old != hbn::kDisconnected) otaQueue(__func__, s, HBN_OTA_KIND_LOST);
  HBN_LOG(HBN_LOG_INFO, "OTA server disconnected:%s\n", s->server.uri);
}

void OtaCloud::connectSuccess(hbn::MqttSession&) { HBN_cloud_commMqttConnectSuccess(this); }
void OtaCloud::connectFailure(hbn::MqttSession&) { HBN_cloud_commMqttConnectFailure(this); }
void OtaCloud::connectionLost(hbn::MqttSession&) { HBN_cloud_commMqttConnlost(this); }
void OtaCloud::messageArrived(hbn::MqttSession&, const char* topic, int topicLength, const void* payload,
                              int length) {
  HBN_cloud_commMqttMsgarrvd(this, topic, topicLength, payload, length);
}

// ---------------------------------------------------------------- session thread

static void dispatch(OtaCloud* s, uint32_t kind, uint32_t p1, uint32_t p2, uintptr_t buffer) {
  switch (kind) {
    case HBN_OTA_KIND_LTEINFO: {
      // The buffer holds the IMEI and then the serial number; their lengths were checked
      // against the buffer when it was queued.
      const char* data = reinterpret_cast<const char*>(buffer);
      if (data != nullptr && static_cast<size_t>(p1) + p2 <= HBN_OTA_CLOUD_BUF_SIZE)
        HBN_cloud_commMqttSendLteInfo(s, data, p1, data + p1, p2);
      break;
    }
    case HBN_OTA_KIND_VERSION:
      HBN_cloud_commMqttSendVersion(s, s->out, HBN_OTA_PAYLOAD_SIZE);
      break;
    case HBN_OTA_KIND_CONFIG_INFO:
      HBN_cloud_commMqttSendConfigInfo(s);
      break;
    case HBN_OTA_KIND_CONFIG_SERVER:
      HBN_cloud_commMqttSendConfigServer(s);
      break;
    case HBN_OTA_KIND_CONFIG_USER:
      HBN_cloud_commMqttSendConfigUser(s);
      break;
    default:  // connection lost and finish only wake the thread
      break;
  }
}

static void HBN_cloud_commMqttThread(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  OtaCloud* s = reinterpret_cast<OtaCloud*>(argument);
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread start\n");
  HBN_cloud_commMqttLoadSetting(s);
  if (s->running.load() != 1) {
    HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
    return;
  }
  hbn::SessionSettings settings = hbn::sessionSettingsFor(s->server, s->clientId, "/jffs2/mqtt/ota/");
  if (s->mqtt.create(__func__, settings) != 0) return;

  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread run\n");
  while (s->running.load() == 1) {
    if (gPowerOn.load() == 0 && hbn::clockSynchronised()) {
      int64_t expected = 0;
      gPowerOn.compare_exchange_strong(expected, static_cast<int64_t>(time(nullptr)));
    }
    if (!s->mqtt.isConnected()) {
      HBN_cloud_commMqttConnect(s);
      hbn::sleepWhileRunning(1000, s->running);
      continue;
    }
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uintptr_t buffer = 0;
    int rc = HBN_queue_receiveTimeout(s->queue, 5000, &kind, &p1, &p2, &p3, &buffer);
    if (rc < 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT queue pop fail\n");
    } else if (rc == 0) {
      if (s->running.load() == 1) dispatch(s, kind, p1, p2, buffer);
      if (buffer != 0) HBN_buf_free(s->pool, reinterpret_cast<void*>(buffer));
    }
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
}

// ---------------------------------------------------------------- start and stop

static int HBN_cloud_commInit(OtaCloud* s) {
  s->running.store(1);
  int rc = HBN_thread_create(&s->thread, "cloud-mqtt", 2048, HBN_cloud_commMqttThread,
                             reinterpret_cast<uintptr_t>(s));
  if (rc != 0) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT thread create fail(%d)\n", rc);
    s->running.store(0);
    s->thread = nullptr;
    return -1;
  }
  return 0;
}

static void HBN_cloud_commFinish(OtaCloud* s) {
  s->running.store(0);
  if (s->thread != nullptr) {
    if (HBN_queue_sendTimeout(s->queue, 1000, HBN_OTA_KIND_FINISH, 0, 0, 0, 0) != 0)
      HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
    HBN_thread_stop(s->thread);
    s->thread = nullptr;
  }
  s->mqtt.destroy();
}

static void freeCloud(OtaCloud* s) {
  if (s->queue != nullptr) HBN_queue_delete(s->queue);
  if (s->pool != nullptr) HBN_buf_destroy(s->pool);
  delete[] s->out;
  delete[] s->in;
  delete s;
}

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
  OtaCloud* s = new (std::nothrow) OtaCloud;
  if (s == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread memory alloc fail\n");
    return -1;
  }
  s->out = new (std::nothrow) char[HBN_OTA_PAYLOAD_SIZE];
  s->in = new (std::nothrow) char[HBN_OTA_PAYLOAD_SIZE + 1];
  if (s->out == nullptr || s->in == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread memory alloc fail\n");
    freeCloud(s);
    return -1;
  }
  s->core = *table;
  hbn::readFirmwareVersion(s->firmwareVersion, sizeof s->firmwareVersion, hbn::kOtaDefaultVersion);
  if (HBN_buf_create(HBN_OTA_CLOUD_BUF_COUNT, HBN_OTA_CLOUD_BUF_SIZE, &s->pool) != 0 ||
      HBN_queue_create(&s->queue) != 0) {
    freeCloud(s);
    return -1;
  }
  // Published before the thread runs: the callbacks find the session from their first call.
  gCloud.store(s);
  if (HBN_cloud_commInit(s) != 0) {
    gCloud.store(nullptr);
    freeCloud(s);
    return -1;
  }
  return 0;
}

void HBN_cloud_finalize() {
  OtaCloud* s = gCloud.exchange(nullptr);
  if (s == nullptr) return;
  HBN_cloud_commFinish(s);
  freeCloud(s);
}

int HBN_cloud_isConnected() {
  OtaCloud* s = gCloud.load();
  return s != nullptr && s->mqtt.isConnected() ? 1 : 0;
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
  char* buffer = s != nullptr ? static_cast<char*>(HBN_buf_alloc(s->pool)) : nullptr;
  if (buffer == nullptr) {
    HBN_LOG(HBN_LOG_WARN, "CLOUD buffer all busy fail\n");
    return;
  }
  memcpy(buffer, imei, imeiLength);
  memcpy(buffer + imeiLength, serial, serialLength);
  if (otaQueue(__func__, s, HBN_OTA_KIND_LTEINFO, static_cast<uint32_t>(imeiLength),
               static_cast<uint32_t>(serialLength), reinterpret_cast<uintptr_t>(buffer)) != 0)
    HBN_buf_free(s->pool, buffer);
}

void HBN_cloud_sendVersion() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_VERSION); }
void HBN_cloud_sendConfigInfo() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_CONFIG_INFO); }
void HBN_cloud_sendConfigServer() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_CONFIG_SERVER); }
void HBN_cloud_sendConfigUser() { otaQueue(__func__, gCloud.load(), HBN_OTA_KIND_CONFIG_USER); }
