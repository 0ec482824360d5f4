// The messages the OTA agent publishes: version, LTE identity, network information, the
// configuration dumps and a refused load's error document. Each builder publishes on its link
// under its own name, in the calling thread's payload buffer.
#pragma once
#include <cstddef>

#include "cloud_link.h"

// `firmwareVersion`: the build version text of the box.
void HBN_cloud_commMqttSendVersion(hbn::CloudLink& link, const char* firmwareVersion);
void HBN_cloud_commMqttSendLteInfo(hbn::CloudLink& link, const char* imei, const char* serial);
void HBN_cloud_commMqttSendNetInfo(hbn::CloudLink& link, const char* ifname);
void HBN_cloud_commMqttSendConfigInfo(hbn::CloudLink& link);
void HBN_cloud_commMqttSendConfigServer(hbn::CloudLink& link);
void HBN_cloud_commMqttSendConfigUser(hbn::CloudLink& link);
// `name` is "reboot" or "noreboot"; `text` the error document.
void HBN_cloud_commMqttSendConfigError(hbn::CloudLink& link, const char* name, const char* text,
                                       size_t length);
