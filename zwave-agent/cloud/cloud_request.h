// Requests from the cloud: the route table of the request names (what follows the request
// prefix) and their handlers, which check the payload and call the core, the adaptation layer,
// the download worker or one of the immediate answers. They run on the session's request worker.
#pragma once
#include <cstddef>

#include "cloud_link.h"

enum {
  HBN_CLOUD_REQUEST_SIZE = 4096,  // request text and its NUL
};

// The routes, in the order they are tried.
const hbn::Route* HBN_cloud_requestRoutes(size_t* count);
// One request as the library's callback thread and the worker handle it together (tests and fuzz
// harnesses call it): `topic` holds `topicLen` bytes, not terminated.
void HBN_cloud_commMqttMsgarrvd(const char* topic, int topicLen, const void* payload, int payloadLen);
// Completion of a restore download: hands the fetched file to the core or the IR restore.
void HBN_cloud_commMqttRestoreNotice(const char* dataPath, const char* checksumPath, int subject);
