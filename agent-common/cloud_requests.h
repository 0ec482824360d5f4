// The cloud requests that the router and OTA agents handle alike: firmware and certificate
// updates, control, configuration execute and network information. Each handler logs under
// the name the agent passes in (its own handler's name, e.g. "HBN_cloud_commMqttRecvControl"),
// so the log lines read the same whichever agent runs them.
//
// Handlers run on the MQTT library's callback thread. What differs between the agents comes
// through `CloudRequestHost`, whose operations must not wait without bound either.
#pragma once
#include <cstddef>

#include "config_work.h"
#include "handoff.h"

namespace hbn {

class CloudRequestHost {
 public:
  virtual ~CloudRequestHost() = default;
  // The buffer that takes a request's payload copy (and, after a refused load, the error
  // document), and its size in bytes including room for the terminator.
  virtual char* incoming(size_t* capacity) = 0;
  // Queues the publish of one configuration dump for the session thread (never waits; a full
  // queue is logged by the host).
  virtual void queueUpload(ConfigDump which) = 0;
  // "mqtt_reset": drops this session's connection; the session thread connects again.
  virtual void resetMqtt() = 0;
  // Hand-off of an update to the platform updater: 1 written, 0 not (not reported to the cloud).
  virtual int firmwareUpdate(const char* url, const char* checksumUrl) = 0;
  virtual int certUpdate(const char* url, const char* checksumUrl) = 0;
  // Publishes a refused load's error document (`length` bytes) on "config/<name>/err".
  virtual void publishConfigError(const char* name, const char* text, size_t length) = 0;
  // Publishes "netinfo" for `ifname`.
  virtual void publishNetInfo(const char* ifname) = 0;
};

// "update/fw", "fwupdate" (kFirmwareHandoff) and "update/tls" (kCertificateHandoff): reads
// "download_url" and "checksum_url" and hands both to the host.
void cloudRecvUpdate(const char* func, CloudRequestHost& host, HandoffKind kind, const void* payload,
                     int length);

// "control": {"reboot":kind} runs the kind's platform command (bounded) or resets the MQTT
// session; {"upload":kind} queues configuration dumps. "reboot" wins when both are present.
void cloudRecvControl(const char* func, CloudRequestHost& host, const void* payload, int length);

// "config/reboot" (`name` "reboot") and "config/noreboot" ("noreboot"): loads the document
// through configtool under the work-file lock; a refused load publishes its error document on
// "config/<name>/err", a load that failed without one publishes kLoadNotDoneDocument there. A
// done load of "config/reboot" reboots. 0 loaded, -1 not.
int cloudRecvConfigExecute(const char* func, CloudRequestHost& host, const char* name, const void* payload,
                           int length);

// "netinfo": reads "ifname" and has the host publish that interface's data.
void cloudRecvNetInfo(const char* func, CloudRequestHost& host, const void* payload, int length);

}  // namespace hbn
