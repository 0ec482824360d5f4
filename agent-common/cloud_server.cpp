#include "cloud_server.h"

#include <cstdio>
#include <cstdlib>

namespace hbn {

namespace {

// A decimal text id as atoi reads it ("" without a value).
int decimalText(mib::Text id) {
  char value[mib::Text::kSize];
  mib::get(id, value, sizeof value);
  return atoi(value);
}

}  // namespace

bool loadCloudServer(const CloudServerIds& ids, const std::atomic<int>& running, CloudServer* s) {
  mib::getServiceCode(ids.serviceCode, s->serviceCode, sizeof s->serviceCode);
  bool first = true;
  while (running.load() == 1) {
    if (!first) sleepWhileRunning(1000, running);
    first = false;
    if (s->serial[0] == '\0') mib::get(ids.serial, s->serial, sizeof s->serial);
    if (s->host[0] == '\0' || s->port <= 0) {
      mib::get(ids.host, s->host, sizeof s->host);
      s->port = ids.portText.id != 0 ? decimalText(ids.portText) : mib::get(ids.port);
    }
    if (s->serial[0] != '\0' && s->host[0] != '\0' && s->port > 0) break;
  }
  if (running.load() != 1) return false;
  s->tls = mib::get(ids.tls);
  s->login = mib::get(ids.login);
  mib::get(ids.user, s->user, sizeof s->user);
  mib::get(ids.password, s->password, sizeof s->password);
  snprintf(s->uri, sizeof s->uri, s->tls ? "ssl://%s:%d" : "tcp://%s:%d", s->host, s->port);
  snprintf(s->prefix, sizeof s->prefix, "gw/%s/%s/", s->serviceCode, s->serial);
  snprintf(s->subscription, sizeof s->subscription, "req/+/%s/#", s->serial);
  return true;
}

SessionSettings sessionSettingsFor(const CloudServer& server, const char* clientId,
                                   const char* certificateDir) {
  SessionSettings settings;
  settings.uri = server.uri;
  settings.clientId = clientId;
  settings.subscription = server.subscription;
  settings.port = server.port;
  settings.login = server.login != 0;
  settings.user = server.user;
  settings.password = server.password;
  settings.tls = server.tls != 0;
  settings.certificateDir = certificateDir;
  return settings;
}

}  // namespace hbn
