// The router agent's cloud sessions: settings, the session thread and the connection state.
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "device_info.h"
#include "hbn_log.h"
#include "hbn_path.h"
#include "mqtt_bind.h"
#include "router_cloud_internal.h"
#include "store_reader.h"

namespace {

// The wall-clock time at which the clock was first found synchronised; shared by the sessions.
std::atomic<int64_t> gPowerOn{0};

long long nowMs() { return HBN_time_scaledNowMs(); }

}  // namespace

int64_t HBN_cloud_powerOnTime() { return gPowerOn.load(); }

// ---------------------------------------------------------------- shared helpers

void routerQueue(const char* func, RouterCloud* cloud, uint32_t kind) {
  if (cloud == nullptr || cloud->queue == nullptr ||
      HBN_queue_sendTimeout(cloud->queue, 0, kind, 0, 0, 0, 0) != 0)
    HBN_log_printAt(HBN_LOG_WARN, func, __LINE__, "CLOUD send queue push fail\n");
}

char* routerBuffer(RouterCloud* cloud, size_t* capacity) {
  if (cloud->threadKnown.load() && pthread_equal(pthread_self(), cloud->sessionThread)) {
    *capacity = HBN_ROUTER_PAYLOAD_SIZE;
    return cloud->out;
  }
  *capacity = sizeof cloud->answer;
  return cloud->answer;
}

void routerPublish(const char* func, RouterCloud* cloud, const char* name, const char* payload, size_t length,
                   bool onlyConnected) {
  char topic[ROUTER_TOPIC_SIZE];
  int n = snprintf(topic, sizeof topic, "%s%s", cloud->server.prefix, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof topic) {
    HBN_log_printAt(HBN_LOG_ERROR, func, __LINE__, "MQTT topic too long:%s\n", name);
    return;
  }
  cloud->mqtt.publish(func, topic, payload, static_cast<int>(length), onlyConnected);
}

void routerNotify(RouterCloud* cloud, int state) {
  if (cloud->active.load() && cloud->callbacks.connection != nullptr)
    cloud->callbacks.connection(state, cloud->context);
}

// ---------------------------------------------------------------- settings

static void HBN_cloud_commMqttLoadSetting(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "load setting start\n");
  const hbn::mib::WanBlock block = hbn::mib::wanBlock(s->type);
  const hbn::CloudServerIds ids{block.serial,    block.serviceCode, block.host, block.port,
                                block.tlsEnable, block.loginEnable, block.user, block.password};
  if (!hbn::loadCloudServer(ids, s->running, &s->server)) return;
  HBN_LOG(HBN_LOG_DEBUG, "load setting finish\n");
  s->keepAlive = hbn::mib::get(block.keepAliveEnable) > 0 ? hbn::mib::get(block.keepAliveSeconds) : -1;
  HBN_LOG(HBN_LOG_DEBUG, "keepAlive=%d\n", s->keepAlive);
  snprintf(s->clientId, sizeof s->clientId, "%s:%s:%d", s->server.serviceCode, s->server.serial, s->type);
  HBN_LOG(HBN_LOG_DEBUG, "serial#=%s,server=%s,port=%d\n", s->server.serial, s->server.host, s->server.port);
  HBN_LOG(HBN_LOG_INFO, "addr  =%s\n", s->server.uri);
  HBN_LOG(HBN_LOG_INFO, "client=%s\n", s->clientId);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", s->server.prefix);
  HBN_LOG(HBN_LOG_INFO, "topic =%s\n", s->server.subscription);
}

// ---------------------------------------------------------------- connection (session thread)

static void HBN_cloud_commMqttConnect(RouterCloud* s) {
  if (s->mqtt.state() != hbn::kDisconnected) return;
  if (s->ifname[0] != '\0') {
    struct stat st;
    std::string path = HBN_path((std::string("/sys/class/net/") + s->ifname).c_str());
    if (stat(path.c_str(), &st) != 0) {
      HBN_LOG(HBN_LOG_WARN, "Network I/F not found(%s)\n", s->ifname);
      return;
    }
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT Network I/F name=%s\n", s->ifname);
  int rc = s->mqtt.connect();
  if (rc != MQTTASYNC_SUCCESS && rc != 1) HBN_LOG(HBN_LOG_WARN, "MQTT async connect fail(%d)\n", rc);
}

// ---------------------------------------------------------------- callbacks (library thread)

static void HBN_cloud_commMqttConnectSuccess(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect success(%s)\n", s->ifname);
  s->mqtt.setState(hbn::kConnected);
  s->mqtt.noDelay();
  int rc = s->mqtt.subscribe();
  if (rc != MQTTASYNC_SUCCESS) HBN_LOG(HBN_LOG_WARN, "MQTT subscribe fail(%d)\n", rc);
  if (s->announced.load()) {
    routerQueue(__func__, s, HBN_ROUTER_KIND_CONNECTED);
    HBN_cloud_commMqttSendConnectedVer(s);
    HBN_cloud_commMqttSendConnectedTls(s);
    HBN_cloud_commMqttSendConnectedWan(s);
  }
  routerNotify(s, 0);
}

static void HBN_cloud_commMqttConnectFailure(RouterCloud* s) {
  HBN_LOG(HBN_LOG_DEBUG, "MQTT connect fail(%s)\n", s->ifname);
  int old = s->mqtt.exchangeState(hbn::kDisconnected);
  HBN_LOG(HBN_LOG_DEBUG, "state=%d->%d\n", old, static_cast<int>(hbn::kDisconnected));
  if (old != hbn::kDisconnected) routerNotify(s, 1);
}

static void HBN_cloud_commMqttConnlost(RouterCloud* s) {
  HBN_LOG(HBN_LOG_WARN, "MQTT connection lost\n");
  int old = s->mqtt.exchangeState(hbn::kDisconnected);
  if (old != hbn::kDisconnected) routerQueue(__func__, s, HBN_ROUTER_KIND_LOST);
  routerNotify(s, 1);
}

void RouterCloud::connectSuccess(hbn::MqttSession&) { HBN_cloud_commMqttConnectSuccess(this); }
void RouterCloud::connectFailure(hbn::MqttSession&) { HBN_cloud_commMqttConnectFailure(this); }
void RouterCloud::connectionLost(hbn::MqttSession&) { HBN_cloud_commMqttConnlost(this); }
void RouterCloud::messageArrived(hbn::MqttSession&, const char* topic, int topicLength, const void* payload,
                                 int length) {
  HBN_cloud_commMqttMsgarrvd(this, topic, topicLength, payload, length);
}

// ---------------------------------------------------------------- session thread

static void dispatch(RouterCloud* s, uint32_t kind) {
  switch (kind) {
    case HBN_ROUTER_KIND_CONNECTED:
      HBN_cloud_commMqttSendConnected(s);
      break;
    case HBN_ROUTER_KIND_VERSION:
      HBN_cloud_commMqttSendVersion(s);
      break;
    case HBN_ROUTER_KIND_KEEPALIVE:
      HBN_cloud_commMqttSendKeepAlive(s);
      break;
    case HBN_ROUTER_KIND_CONFIG_INFO:
      HBN_cloud_commMqttSendConfigInfo(s);
      break;
    case HBN_ROUTER_KIND_CONFIG_SERVER:
      HBN_cloud_commMqttSendConfigServer(s);
      break;
    case HBN_ROUTER_KIND_CONFIG_USER:
      HBN_cloud_commMqttSendConfigUser(s);
      break;
    default:  // connection lost and finish only wake the thread
      break;
  }
}

static void HBN_cloud_commMqttThread(HBN_thread_t* self, uintptr_t argument) {
  (void)self;
  RouterCloud* s = reinterpret_cast<RouterCloud*>(argument);
  s->sessionThread = pthread_self();
  s->threadKnown.store(true);
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread start\n");
  HBN_cloud_commMqttLoadSetting(s);
  if (s->running.load() != 1) {
    HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
    return;
  }
  hbn::SessionSettings settings = hbn::sessionSettingsFor(s->server, s->clientId, "/jffs2/mqtt/cloud/");
  settings.ifname = s->ifname;
  settings.boundConnect = MQTTAsync_connect2;
  if (s->mqtt.create(__func__, settings) != 0) return;

  // Random delays of the first announce and of the first keep-alive, in seconds.
  unsigned seed = static_cast<unsigned>(nowMs() / 1000);
  int announceMax = hbn::mib::get(hbn::mib::kAnnounceDelayMax);
  int jitterMax = hbn::mib::get(hbn::mib::kInfoDelayMax);
  long long announceDelay = announceMax > 0 ? rand_r(&seed) % announceMax : 0;
  long long jitter = jitterMax > 0 ? rand_r(&seed) % jitterMax : 0;
  const long long start = nowMs();
  long long keepAliveRef = -1;

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
    if (keepAliveRef < 0) keepAliveRef = nowMs();
    uint32_t kind = 0, p1 = 0, p2 = 0, p3 = 0;
    uintptr_t buffer = 0;
    // One second, on the test time scale like the announce and keep-alive timers it paces.
    int rc = HBN_queue_receiveTimeout(s->queue, static_cast<int>(HBN_time_scaled(1000)), &kind, &p1, &p2, &p3,
                                      &buffer);
    if (rc < 0) {
      HBN_LOG(HBN_LOG_WARN, "MQTT queue pop fail\n");
    } else if (rc == 0) {
      dispatch(s, kind);
      if (buffer != 0) HBN_buf_free(s->pool, reinterpret_cast<void*>(buffer));
    }
    if (s->running.load() != 1) break;
    if (!s->announced.load() && gPowerOn.load() != 0 && nowMs() - start >= announceDelay * 1000) {
      HBN_cloud_commMqttSendConnected(s);
      HBN_cloud_commMqttSendConnectedVer(s);
      HBN_cloud_commMqttSendConnectedTls(s);
      HBN_cloud_commMqttSendConnectedWan(s);
      s->announced.store(1);
    }
    if (s->keepAlive >= 1 && nowMs() - keepAliveRef >= (s->keepAlive + jitter) * 1000LL) {
      HBN_cloud_commMqttSendKeepAlive(s);
      keepAliveRef = nowMs();
      jitter = 0;
    }
  }
  HBN_LOG(HBN_LOG_DEBUG, "MQTT thread finish\n");
}

// ---------------------------------------------------------------- start and stop

static RouterCloud* HBN_cloud_commInit(RouterCloud* s) {
  s->running.store(1);
  char name[16];
  snprintf(name, sizeof name, "cloud-mqtt-%d", s->type);
  int rc =
      HBN_thread_create(&s->thread, name, 2048, HBN_cloud_commMqttThread, reinterpret_cast<uintptr_t>(s));
  if (rc != 0) {
    HBN_LOG(HBN_LOG_ERROR, "MQTT thread create fail(%d)\n", rc);
    s->running.store(0);
    return nullptr;
  }
  return s;
}

static void HBN_cloud_commFinish(RouterCloud* s) {
  s->running.store(0);
  if (s->thread != nullptr) {
    if (HBN_queue_sendTimeout(s->queue, 1000, HBN_ROUTER_KIND_FINISH, 0, 0, 0, 0) != 0)
      HBN_LOG(HBN_LOG_WARN, "CLOUD send queue push fail\n");
    HBN_thread_stop(s->thread);
    s->thread = nullptr;
  }
  s->mqtt.destroy();
}

RouterCloud* HBN_cloud_initialize(int type, const char* ifname) {
  HBN_LOG(HBN_LOG_DEBUG, "BUF count=%d,size=%d\n", HBN_ROUTER_BUF_COUNT, HBN_ROUTER_BUF_SIZE);
  RouterCloud* s = new (std::nothrow) RouterCloud;
  char* out = new (std::nothrow) char[HBN_ROUTER_PAYLOAD_SIZE];
  char* in = new (std::nothrow) char[HBN_ROUTER_PAYLOAD_SIZE + 1];
  if (s == nullptr || out == nullptr || in == nullptr) {
    HBN_log_printAt(HBN_LOG_ERROR, "HBN_cloud_commInit", __LINE__, "MQTT thread memory alloc fail\n");
    delete s;
    delete[] out;
    delete[] in;
    return nullptr;
  }
  s->out = out;
  s->in = in;
  s->type = type;
  if (ifname != nullptr) snprintf(s->ifname, sizeof s->ifname, "%s", ifname);
  if (HBN_buf_create(HBN_ROUTER_BUF_COUNT, HBN_ROUTER_BUF_SIZE, &s->pool) != 0 ||
      HBN_queue_create(&s->queue) != 0 || HBN_cloud_commInit(s) == nullptr) {
    if (s->queue != nullptr) HBN_queue_delete(s->queue);
    if (s->pool != nullptr) HBN_buf_destroy(s->pool);
    delete[] s->out;
    delete[] s->in;
    delete s;
    return nullptr;
  }
  return s;
}

void HBN_cloud_finalize(RouterCloud* cloud) {
  if (cloud == nullptr) return;
  HBN_cloud_commFinish(cloud);
  HBN_queue_delete(cloud->queue);
  HBN_buf_destroy(cloud->pool);
  delete[] cloud->out;
  delete[] cloud->in;
  delete cloud;
}

void HBN_cloud_setCallbacks(RouterCloud* cloud, const HBN_cloud_callbacks_t* callbacks, void* context) {
  if (cloud == nullptr || callbacks == nullptr) return;
  cloud->active.store(false);
  cloud->callbacks = *callbacks;
  cloud->context = context;
  cloud->active.store(true);
}

int HBN_cloud_isConnected(RouterCloud* cloud) {
  return cloud != nullptr && cloud->mqtt.isConnected() ? 1 : 0;
}

void HBN_cloud_sendConnected(RouterCloud* cloud) { routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONNECTED); }
void HBN_cloud_sendVersion(RouterCloud* cloud) { routerQueue(__func__, cloud, HBN_ROUTER_KIND_VERSION); }
void HBN_cloud_sendKeepAlive(RouterCloud* cloud) { routerQueue(__func__, cloud, HBN_ROUTER_KIND_KEEPALIVE); }
void HBN_cloud_sendConfigInfo(RouterCloud* cloud) {
  routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONFIG_INFO);
}
void HBN_cloud_sendConfigServer(RouterCloud* cloud) {
  routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONFIG_SERVER);
}
void HBN_cloud_sendConfigUser(RouterCloud* cloud) {
  routerQueue(__func__, cloud, HBN_ROUTER_KIND_CONFIG_USER);
}
