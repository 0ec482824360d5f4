// MQTTAsync_connect2 on top of Paho's asynchronous client.
//
// Paho creates and connects the sockets of all its clients from one internal thread, so the
// caller cannot mark "its" socket. Instead each bound attempt leaves a pending binding (the
// interface name) and waits until the next TCP connect() of the process has taken it. That
// connect() is ours: a program that defines connect() is called in place of libc's, also from
// the Paho shared library. Bound attempts are serialised, so the pending binding is always the
// one of the attempt whose socket is being connected.
#include "mqtt_bind.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <dlfcn.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

// ThreadSanitizer's own connect(), present in sanitizer builds: calling the real connect through
// it keeps the sanitizer's view of the socket complete.
extern "C" int __interceptor_connect(int fd, const struct sockaddr* addr, socklen_t len)
    __attribute__((weak));

namespace {

// The waiter's safety bound: Paho creates the socket right after name resolution, so this is
// only reached when resolution hangs. A socket created later finds no binding and is refused.
constexpr std::chrono::seconds kSocketWait{30};

// A client that made bound attempts: the caller's callbacks and context of its latest attempt.
// Paho keeps one set of connect callbacks per client (a new attempt replaces them), so the record
// is per client too; the context handed to Paho is the record's address.
struct Client {
  MQTTAsync handle = nullptr;  // nullptr: free
  bool inFlight = false;       // the attempt's onSuccess or onFailure is still due
  MQTTAsync_onSuccess* onSuccess = nullptr;
  MQTTAsync_onFailure* onFailure = nullptr;
  MQTTAsync_onSuccess5* onSuccess5 = nullptr;
  MQTTAsync_onFailure5* onFailure5 = nullptr;
  void* context = nullptr;
};

// Everything that connect(), the callbacks and the waiting caller share. The lock is held only
// for a few instructions and never while Paho is called, so Paho's threads never wait long on it.
struct Shared {
  std::mutex lock;
  std::condition_variable changed;
  std::array<Client, 8> clients;
  char pendingIf[IFNAMSIZ] = "";  // interface of the attempt awaiting its socket, "" for none
  bool consumed = false;          // the pending binding was taken by a socket
};

// Never destroyed: Paho's threads may still connect while the process exits.
Shared& shared = *new Shared;
// One bound attempt at a time, process-wide.
std::mutex attemptSerial;
// Set by the first bound attempt and never cleared: from then on unbound TCP connects fail.
std::atomic<bool> boundMode{false};

using ConnectFn = int (*)(int, const struct sockaddr*, socklen_t);

ConnectFn realConnect() {
  static const ConnectFn fn = []() -> ConnectFn {
    if (__interceptor_connect != nullptr) return __interceptor_connect;
    return reinterpret_cast<ConnectFn>(dlsym(RTLD_NEXT, "connect"));
  }();
  return fn;
}

bool isTcpSocket(int fd) {
  int domain = 0;
  int type = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
  len = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return false;
  return (domain == AF_INET || domain == AF_INET6) && type == SOCK_STREAM;
}

// Loopback traffic never leaves the box, so it needs no binding.
bool isLoopback(const struct sockaddr* addr, socklen_t len) {
  if (addr->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    in_addr_t a = ntohl(reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr);
    return (a >> 24) == 127;
  }
  if (addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) return a.s6_addr[12] == 127;
    return IN6_IS_ADDR_LOOPBACK(&a);
  }
  return false;
}

// Record of `handle`, else a free one, else one without an attempt in flight (clients are never
// unregistered, so a destroyed client's record is taken over). Null when all are busy.
Client* recordFor(MQTTAsync handle) {
  Client* freeRecord = nullptr;
  Client* idleRecord = nullptr;
  for (Client& c : shared.clients) {
    if (c.handle == handle) return &c;
    if (c.handle == nullptr && freeRecord == nullptr) freeRecord = &c;
    if (!c.inFlight && idleRecord == nullptr) idleRecord = &c;
  }
  return freeRecord != nullptr ? freeRecord : idleRecord;
}

// Marks the attempt of `context` ended, wakes its waiter and returns the caller's callbacks.
Client finish(void* context) {
  auto* client = static_cast<Client*>(context);
  std::lock_guard<std::mutex> guard(shared.lock);
  client->inFlight = false;
  shared.changed.notify_all();
  return *client;
}

void onSuccessBound(void* context, MQTTAsync_successData* response) {
  Client caller = finish(context);
  if (caller.onSuccess != nullptr) caller.onSuccess(caller.context, response);
}

void onFailureBound(void* context, MQTTAsync_failureData* response) {
  Client caller = finish(context);
  if (caller.onFailure != nullptr) caller.onFailure(caller.context, response);
}

void onSuccess5Bound(void* context, MQTTAsync_successData5* response) {
  Client caller = finish(context);
  if (caller.onSuccess5 != nullptr) caller.onSuccess5(caller.context, response);
}

void onFailure5Bound(void* context, MQTTAsync_failureData5* response) {
  Client caller = finish(context);
  if (caller.onFailure5 != nullptr) caller.onFailure5(caller.context, response);
}

}  // namespace

extern "C" int MQTTAsync_connect2(MQTTAsync handle, const MQTTAsync_connectOptions* options,
                                  const char* ifname) {
  if (ifname == nullptr || ifname[0] == '\0' || options == nullptr) return MQTTAsync_connect(handle, options);
  boundMode.store(true);
  if (strlen(ifname) >= IFNAMSIZ) {
    fprintf(stderr, "MQTTAsync_connect2: interface name too long (%s)\n", ifname);
    return MQTTASYNC_FAILURE;
  }
  MQTTAsync_connectOptions bound = *options;
  // Versions 0 and 1 of the structure carry no MQTT version: raise it and clear what it adds.
  if (bound.struct_version >= 0 && bound.struct_version < 2) {
    if (bound.struct_version == 0) bound.ssl = nullptr;
    bound.serverURIcount = 0;
    bound.serverURIs = nullptr;
    bound.struct_version = 2;
  }
  if (bound.serverURIcount > 1) {
    fprintf(stderr, "MQTTAsync_connect2: one server URI only (%d given)\n", bound.serverURIcount);
    return MQTTASYNC_BAD_STRUCTURE;
  }
  if (bound.MQTTVersion == MQTTVERSION_DEFAULT) bound.MQTTVersion = MQTTVERSION_3_1_1;
  if (bound.struct_version >= 3) bound.automaticReconnect = 0;

  // Structures before version 6 carry no MQTT 5 callbacks.
  const bool hasV5 = bound.struct_version >= 6;

  std::lock_guard<std::mutex> serial(attemptSerial);
  Client* client = nullptr;
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    client = recordFor(handle);
    if (client == nullptr) {
      fprintf(stderr, "MQTTAsync_connect2: too many clients with attempts in progress\n");
      return MQTTASYNC_FAILURE;
    }
    *client = Client();
    client->handle = handle;
    client->inFlight = true;
    client->onSuccess = bound.onSuccess;
    client->onFailure = bound.onFailure;
    if (hasV5) {
      client->onSuccess5 = bound.onSuccess5;
      client->onFailure5 = bound.onFailure5;
    }
    client->context = options->context;
    snprintf(shared.pendingIf, sizeof shared.pendingIf, "%s", ifname);
    shared.consumed = false;
  }
  // Paho reports through the 3.1.1-style callback when one is set, else through the MQTT 5 one:
  // wrap the one it will call, so the end of the attempt is always seen.
  if (bound.onSuccess != nullptr || !hasV5 || bound.onSuccess5 == nullptr)
    bound.onSuccess = onSuccessBound;
  else
    bound.onSuccess5 = onSuccess5Bound;
  if (bound.onFailure != nullptr || !hasV5 || bound.onFailure5 == nullptr)
    bound.onFailure = onFailureBound;
  else
    bound.onFailure5 = onFailure5Bound;
  bound.context = client;

  int rc = MQTTAsync_connect(handle, &bound);

  std::unique_lock<std::mutex> guard(shared.lock);
  if (rc == MQTTASYNC_SUCCESS) {
    shared.changed.wait_for(guard, kSocketWait, [client] { return shared.consumed || !client->inFlight; });
  } else {
    client->inFlight = false;  // refused at once: no callback will come
  }
  shared.pendingIf[0] = '\0';
  shared.consumed = false;
  return rc;
}

// Every connect() of the process comes here. Outside bound mode, and for anything but a TCP
// socket, it is the real connect unchanged. In bound mode a TCP socket takes the pending binding;
// without one it may only reach loopback.
extern "C" int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  ConnectFn real = realConnect();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  // AF_UNSPEC dissolves an association rather than making one.
  if (!boundMode.load() || addr == nullptr || addr->sa_family == AF_UNSPEC || !isTcpSocket(fd))
    return real(fd, addr, len);
  char ifname[IFNAMSIZ] = "";
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    if (shared.pendingIf[0] != '\0' && !shared.consumed) {
      memcpy(ifname, shared.pendingIf, sizeof ifname);
      shared.consumed = true;
      shared.changed.notify_all();
    }
  }
  if (ifname[0] == '\0' && isLoopback(addr, len)) return real(fd, addr, len);
  if (ifname[0] == '\0') {
    fprintf(stderr, "MQTTAsync_connect2: unbound TCP connect refused\n");
    errno = EADDRNOTAVAIL;
    return -1;
  }
  if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifname, static_cast<socklen_t>(strlen(ifname))) != 0) {
    int error = errno;
    fprintf(stderr, "MQTTAsync_connect2: bind to %s failed: %s\n", ifname, strerror(error));
    errno = error;
    return -1;
  }
  return real(fd, addr, len);
}
