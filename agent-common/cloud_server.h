// The server settings of a router or OTA session: identity (serial number, service code),
// broker host and port, TLS and login, read from the configuration store ids the agent names,
// and the texts built from them (server URI, publish prefix, subscription).
#pragma once
#include <atomic>

#include "mqtt_session.h"
#include "store_reader.h"

namespace hbn {

// Where a session's settings are kept in the configuration store.
struct CloudServerIds {
  mib::Text serial;
  mib::Text serviceCode;
  mib::Text host;
  mib::U16Id port;
  mib::ByteId tls;
  mib::ByteId login;
  mib::Text user;
  mib::Text password;
  mib::Text portText{0};  // when set: the port as decimal text in this id instead of `port`
};

enum { kCloudTextSize = 256 };

struct CloudServer {
  char serial[kCloudTextSize] = {0};
  char serviceCode[kCloudTextSize] = {0};
  char host[kCloudTextSize] = {0};
  int port = 0;
  int tls = 0;
  int login = 0;
  char user[mib::kLoginTextSize] = {0};          // at most 32 characters
  char password[mib::kLoginTextSize] = {0};      // at most 32 characters
  char uri[kCloudTextSize + 32] = {0};           // "ssl://host:port" with TLS, else "tcp://host:port"
  char prefix[2 * kCloudTextSize + 8] = {0};     // "gw/<service code>/<serial>/"
  char subscription[kCloudTextSize + 16] = {0};  // "req/+/<serial>/#": any service, this serial
};

// Reads the service code once ("vexor" when empty), then serial, host and port, again once a
// second while `running` stays 1, until the serial and host are set and the port is positive
// (a port of 0 is read again too: it may be configured later); then TLS, login, user and
// password, and builds the texts. False when stopped before the settings were complete.
bool loadCloudServer(const CloudServerIds& ids, const std::atomic<int>& running, CloudServer* out);

// Session settings for `server` with the session's client id and certificate folder.
SessionSettings sessionSettingsFor(const CloudServer& server, const char* clientId,
                                   const char* certificateDir);

}  // namespace hbn
