// The messages the router agent publishes: device facts for the cloud ("connected" set,
// version, TLS expiry, WAN address, keep-alive, network information), the configuration dumps
// and a refused load's error document. Each builder publishes on its link under its own name,
// in the calling thread's payload buffer (the small answers of the "connected" set also from
// the library's callback thread, in a buffer of their own).
#pragma once
#include <cstddef>

#include "cloud_link.h"

// What the builders tell of the box: the session's interface ("" for none; the WAN address is
// read from it when the address file is missing) and the firmware version.
struct RouterFacts {
  const char* ifname;
  const char* firmwareVersion;
};

void HBN_cloud_commMqttSendConnected(hbn::CloudLink& link, const RouterFacts& facts);
void HBN_cloud_commMqttSendConnectedVer(hbn::CloudLink& link, const RouterFacts& facts);
void HBN_cloud_commMqttSendConnectedTls(hbn::CloudLink& link);
void HBN_cloud_commMqttSendConnectedWan(hbn::CloudLink& link, const RouterFacts& facts);
void HBN_cloud_commMqttSendVersion(hbn::CloudLink& link, const RouterFacts& facts);
void HBN_cloud_commMqttSendKeepAlive(hbn::CloudLink& link);
void HBN_cloud_commMqttSendNetInfo(hbn::CloudLink& link, const char* ifname);
void HBN_cloud_commMqttSendConfigInfo(hbn::CloudLink& link);
void HBN_cloud_commMqttSendConfigServer(hbn::CloudLink& link);
void HBN_cloud_commMqttSendConfigUser(hbn::CloudLink& link);
// `name` is "reboot" or "noreboot"; `text` the error document.
void HBN_cloud_commMqttSendConfigError(hbn::CloudLink& link, const char* name, const char* text,
                                       size_t length);
