// Requests from the cloud: the message-arrived callback cuts the request prefix off the topic,
// dispatches on the rest, checks the payload and calls the core, the adaptation layer, the
// download worker or one of the immediate answers. Runs on the MQTT library's callback thread.
#pragma once

// One arriving message (`topic` holds `topicLen` bytes, not terminated); the session releases
// it afterwards.
void HBN_cloud_commMqttMsgarrvd(const char* topic, int topicLen, const void* payload, int payloadLen);
// Completion of a restore download: hands the fetched file to the core or the IR restore.
void HBN_cloud_commMqttRestoreNotice(const char* dataPath, const char* checksumPath, int subject);
// Handles one request given as topic text (after the request prefix) and payload; the part of
// the callback that needs no library objects.
void HBN_cloud_commMqttRequest(const char* suffix, const void* payload, int payloadLength);
