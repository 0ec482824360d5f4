// MQTTAsync_connect2 on top of Paho's asynchronous client.
//
// Paho creates and connects the sockets of all its clients from one internal thread, so the
// caller cannot mark "its" socket. Instead each bound attempt leaves a pending binding: the
// interface and the destination that the attempt's socket will connect to (the port of the
// client's URI and every address its host resolves to). The binding goes to the TCP connect()
// to that destination; that connect() is ours: a program that defines connect() is called in
// place of libc's, also from the Paho shared library. Bound attempts are serialised until their
// socket is bound, so at most one binding is pending. The client's URI comes from
// MQTTAsync_create and MQTTAsync_createWithOptions, which this library defines as well: they
// remember it and call Paho's own (found with dlsym(RTLD_NEXT)); MQTTAsync_destroy forgets it.
#include "mqtt_bind.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <dlfcn.h>
#include <net/if.h>
#include <netdb.h>
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
// Addresses of one server host that a binding accepts (a host with more has the rest refused).
constexpr size_t kMaxAddresses = 16;

// One IPv4 or IPv6 address (IPv4-mapped IPv6 addresses are kept as IPv4).
struct Address {
  int family = AF_UNSPEC;
  unsigned char bytes[16] = {0};
  bool operator==(const Address& other) const {
    return family == other.family && memcmp(bytes, other.bytes, sizeof bytes) == 0;
  }
};

// The address and port of `addr`; false for anything but IPv4 and IPv6.
bool addressOf(const struct sockaddr* addr, socklen_t len, Address* out, int* port) {
  *out = Address();
  if (addr->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    out->family = AF_INET;
    memcpy(out->bytes, &in->sin_addr, 4);
    if (port != nullptr) *port = ntohs(in->sin_port);
    return true;
  }
  if (addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      out->family = AF_INET;
      memcpy(out->bytes, &in6->sin6_addr.s6_addr[12], 4);
    } else {
      out->family = AF_INET6;
      memcpy(out->bytes, &in6->sin6_addr, 16);
    }
    if (port != nullptr) *port = ntohs(in6->sin6_port);
    return true;
  }
  return false;
}

// A client that made bound attempts: where its server is, the caller's callbacks and context of
// its latest attempt, and which MQTT version its next attempt asks for. Paho keeps one set of
// connect callbacks per client (a new attempt replaces them), so the record is per client too;
// the context handed to Paho is the record's address.
struct Client {
  MQTTAsync handle = nullptr;  // nullptr: free
  bool inFlight = false;       // the attempt's onSuccess or onFailure is still due
  MQTTAsync_onSuccess* onSuccess = nullptr;
  MQTTAsync_onFailure* onFailure = nullptr;
  MQTTAsync_onSuccess5* onSuccess5 = nullptr;
  MQTTAsync_onFailure5* onFailure5 = nullptr;
  void* context = nullptr;
  int port = -1;  // the server's port (TCP connects to it are matched against the bindings)
  std::array<Address, kMaxAddresses> addresses;
  size_t addressCount = 0;
  char ifname[IFNAMSIZ] = "";
  // The caller leaves the MQTT version to the library: 3.1.1, and after a failed 3.1.1 attempt
  // one 3.1 attempt (Paho does both within one attempt; here they are two).
  bool versionDefault = false;
  bool lastWasOld = false;  // the latest attempt spoke 3.1
  bool tryOld = false;      // the next attempt speaks 3.1

  bool matches(const Address& a, int destinationPort) const {
    if (destinationPort != port) return false;
    for (size_t i = 0; i < addressCount; ++i)
      if (addresses[i] == a) return true;
    return false;
  }
};

// Everything that connect(), the callbacks and the waiting caller share. The lock is held only
// for a few instructions and never while Paho is called, so Paho's threads never wait long on it.
struct Shared {
  std::mutex lock;
  std::condition_variable changed;
  std::array<Client, 8> clients;
  Client* pending = nullptr;              // the attempt awaiting its socket
  bool consumed = false;                  // its binding was taken by a socket
  std::map<MQTTAsync, std::string> uris;  // server URI of every client created
  // Ports that bound attempts went to, kept for good: a client made again later (or between two
  // sessions) must not find its port open to unbound connects meanwhile.
  std::array<int, 16> boundPorts{};
  size_t boundPortCount = 0;
};

// Never destroyed: Paho's threads may still connect while the process exits.
Shared& shared = *new Shared;
// One bound attempt at a time, process-wide.
std::mutex attemptSerial;
// Set by the first bound attempt and never cleared: until then every connect is left alone
// without a look at the records.
std::atomic<bool> boundMode{false};

using ConnectFn = int (*)(int, const struct sockaddr*, socklen_t);
using CreateFn = int (*)(MQTTAsync*, const char*, const char*, int, void*);
using CreateWithOptionsFn = int (*)(MQTTAsync*, const char*, const char*, int, void*,
                                    MQTTAsync_createOptions*);
using DestroyFn = void (*)(MQTTAsync*);

ConnectFn realConnect() {
  static const ConnectFn fn = []() -> ConnectFn {
    if (__interceptor_connect != nullptr) return __interceptor_connect;
    return reinterpret_cast<ConnectFn>(dlsym(RTLD_NEXT, "connect"));
  }();
  return fn;
}

// Paho's own definition of `name`, the next one after this program's.
template <typename Fn>
Fn library(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void rememberUri(MQTTAsync handle, const char* uri) {
  std::lock_guard<std::mutex> guard(shared.lock);
  shared.uris[handle] = uri != nullptr ? uri : "";
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
bool isLoopback(const Address& a) {
  if (a.family == AF_INET) return a.bytes[0] == 127;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return a.family == AF_INET6 && memcmp(a.bytes, kLoopback6, 16) == 0;
}

// Host and port of a Paho server URI ("tcp://host:port", "ssl://[v6]:port", "ws://host/path" ...),
// with the library's default port when none is given. False when it is not one.
bool parseUri(const std::string& uri, std::string* host, int* port) {
  static const struct {
    const char* prefix;
    int port;
  } kSchemes[] = {{"tcp://", 1883},   {"mqtt://", 1883}, {"ssl://", 8883},
                  {"mqtts://", 8883}, {"ws://", 80},     {"wss://", 443}};
  for (const auto& scheme : kSchemes) {
    const size_t n = strlen(scheme.prefix);
    if (uri.compare(0, n, scheme.prefix) != 0) continue;
    std::string rest = uri.substr(n);
    rest = rest.substr(0, rest.find('/'));
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
      size_t close = rest.find(']');
      if (close == std::string::npos) return false;
      *host = rest.substr(1, close - 1);
      colon = rest[close + 1] == ':' ? close + 1 : std::string::npos;
    } else {
      colon = rest.rfind(':');
      *host = rest.substr(0, colon);
    }
    *port = scheme.port;
    if (colon != std::string::npos) {
      char* end = nullptr;
      long value = strtol(rest.c_str() + colon + 1, &end, 10);
      if (end == rest.c_str() + colon + 1 || *end != '\0' || value <= 0 || value > 65535) return false;
      *port = static_cast<int>(value);
    }
    return !host->empty();
  }
  return false;
}

// The addresses `host` resolves to for TCP, as Paho resolves it (at most kMaxAddresses).
size_t resolve(const std::string& host, std::array<Address, kMaxAddresses>* out) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  struct addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return 0;
  size_t count = 0;
  for (struct addrinfo* ai = result; ai != nullptr && count < out->size(); ai = ai->ai_next) {
    Address a;
    if (!addressOf(ai->ai_addr, ai->ai_addrlen, &a, nullptr)) continue;
    bool known = false;
    for (size_t i = 0; i < count; ++i) known = known || (*out)[i] == a;
    if (!known) (*out)[count++] = a;
  }
  freeaddrinfo(result);
  return count;
}

// Record of `handle`, else a free one; null when all are taken.
Client* recordFor(MQTTAsync handle) {
  Client* freeRecord = nullptr;
  for (Client& c : shared.clients) {
    if (c.handle == handle) return &c;
    if (c.handle == nullptr && freeRecord == nullptr) freeRecord = &c;
  }
  return freeRecord;
}

// Marks the attempt of `context` ended, wakes its waiter and returns the caller's callbacks.
// After a failure of 3.1.1 where the caller left the version open, the next attempt speaks 3.1.
Client finish(void* context, bool connected) {
  auto* client = static_cast<Client*>(context);
  std::lock_guard<std::mutex> guard(shared.lock);
  client->inFlight = false;
  client->tryOld = !connected && client->versionDefault && !client->lastWasOld;
  shared.changed.notify_all();
  return *client;
}

void onSuccessBound(void* context, MQTTAsync_successData* response) {
  Client caller = finish(context, true);
  if (caller.onSuccess != nullptr) caller.onSuccess(caller.context, response);
}

void onFailureBound(void* context, MQTTAsync_failureData* response) {
  Client caller = finish(context, false);
  if (caller.onFailure != nullptr) caller.onFailure(caller.context, response);
}

void onSuccess5Bound(void* context, MQTTAsync_successData5* response) {
  Client caller = finish(context, true);
  if (caller.onSuccess5 != nullptr) caller.onSuccess5(caller.context, response);
}

void onFailure5Bound(void* context, MQTTAsync_failureData5* response) {
  Client caller = finish(context, false);
  if (caller.onFailure5 != nullptr) caller.onFailure5(caller.context, response);
}

}  // namespace

extern "C" int MQTTAsync_create(MQTTAsync* handle, const char* serverURI, const char* clientId,
                                int persistence_type, void* persistence_context) {
  static const CreateFn real = library<CreateFn>("MQTTAsync_create");
  if (real == nullptr) return MQTTASYNC_FAILURE;
  int rc = real(handle, serverURI, clientId, persistence_type, persistence_context);
  if (rc == MQTTASYNC_SUCCESS && handle != nullptr) rememberUri(*handle, serverURI);
  return rc;
}

extern "C" int MQTTAsync_createWithOptions(MQTTAsync* handle, const char* serverURI, const char* clientId,
                                           int persistence_type, void* persistence_context,
                                           MQTTAsync_createOptions* options) {
  static const CreateWithOptionsFn real = library<CreateWithOptionsFn>("MQTTAsync_createWithOptions");
  if (real == nullptr) return MQTTASYNC_FAILURE;
  int rc = real(handle, serverURI, clientId, persistence_type, persistence_context, options);
  if (rc == MQTTASYNC_SUCCESS && handle != nullptr) rememberUri(*handle, serverURI);
  return rc;
}

extern "C" void MQTTAsync_destroy(MQTTAsync* handle) {
  static const DestroyFn real = library<DestroyFn>("MQTTAsync_destroy");
  if (handle != nullptr && *handle != nullptr) {
    // Forgotten first: a client created right after may get the same handle.
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.uris.erase(*handle);
    for (Client& c : shared.clients)
      if (c.handle == *handle) c = Client();
  }
  if (real != nullptr) real(handle);
}

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
  if (bound.struct_version >= 3) bound.automaticReconnect = 0;

  // Where the attempt's socket will go. The name is resolved here, outside the serialisation,
  // so a slow look-up holds up no other session.
  std::string uri;
  if (bound.serverURIcount == 1 && bound.serverURIs != nullptr && bound.serverURIs[0] != nullptr) {
    uri = bound.serverURIs[0];
  } else {
    std::lock_guard<std::mutex> guard(shared.lock);
    auto it = shared.uris.find(handle);
    if (it != shared.uris.end()) uri = it->second;
  }
  std::string host;
  int port = -1;
  if (!parseUri(uri, &host, &port)) {
    fprintf(stderr, "MQTTAsync_connect2: no server URI of this client to bind (%s)\n", uri.c_str());
    return MQTTASYNC_FAILURE;
  }
  // A name that does not resolve leaves the binding without addresses: Paho's own look-up fails
  // the attempt, or its socket is refused.
  std::array<Address, kMaxAddresses> addresses;
  const size_t addressCount = resolve(host, &addresses);

  // Structures before version 6 carry no MQTT 5 callbacks.
  const bool hasV5 = bound.struct_version >= 6;

  std::lock_guard<std::mutex> serial(attemptSerial);
  Client* client = nullptr;
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    client = recordFor(handle);
    if (client == nullptr) {
      fprintf(stderr, "MQTTAsync_connect2: too many clients with bound attempts\n");
      return MQTTASYNC_FAILURE;
    }
    const bool tryOld = client->handle == handle && client->tryOld;
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
    client->port = port;
    bool known = false;
    for (size_t i = 0; i < shared.boundPortCount; ++i) known = known || shared.boundPorts[i] == port;
    if (!known && shared.boundPortCount < shared.boundPorts.size())
      shared.boundPorts[shared.boundPortCount++] = port;
    client->addresses = addresses;
    client->addressCount = addressCount;
    snprintf(client->ifname, sizeof client->ifname, "%s", ifname);
    // One socket per attempt, so that a fall-back socket is never mistaken for the first socket of
    // another session to the same server: the fall-back to 3.1 is the next attempt.
    client->versionDefault = bound.MQTTVersion == MQTTVERSION_DEFAULT;
    if (client->versionDefault) {
      client->lastWasOld = tryOld;
      bound.MQTTVersion = tryOld ? MQTTVERSION_3_1 : MQTTVERSION_3_1_1;
    }
    shared.pending = client;
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
    client->tryOld = false;
  }
  shared.pending = nullptr;
  shared.consumed = false;
  return rc;
}

// Every connect() of the process comes here. Outside bound mode, and for anything but a TCP
// socket, it is the real connect unchanged. In bound mode a TCP connect to the destination of
// the pending attempt takes its binding; any other TCP connect to a port of a bound client is
// refused unless it goes to loopback; every other connect is left alone.
extern "C" int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  ConnectFn real = realConnect();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  Address destination;
  int port = -1;
  // AF_UNSPEC dissolves an association rather than making one.
  if (!boundMode.load() || addr == nullptr || !addressOf(addr, len, &destination, &port) || !isTcpSocket(fd))
    return real(fd, addr, len);
  char ifname[IFNAMSIZ] = "";
  bool boundPort = false;
  {
    std::lock_guard<std::mutex> guard(shared.lock);
    if (shared.pending != nullptr && !shared.consumed && shared.pending->matches(destination, port)) {
      memcpy(ifname, shared.pending->ifname, sizeof ifname);
      shared.consumed = true;
      shared.changed.notify_all();
    }
    for (size_t i = 0; i < shared.boundPortCount; ++i) boundPort = boundPort || shared.boundPorts[i] == port;
    for (const Client& c : shared.clients) boundPort = boundPort || (c.handle != nullptr && c.port == port);
  }
  if (ifname[0] == '\0') {
    if (!boundPort || isLoopback(destination)) return real(fd, addr, len);
    fprintf(stderr, "MQTTAsync_connect2: TCP connect to port %d refused: no bound attempt goes there\n",
            port);
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
