// Messages that only restate the current state ("connected", the keep-alive) wait at most once in
// the cloud queue, so an outage never piles them up: a "connected" is due (published when its
// element is taken or, if the queue had no room, once the queue has drained), and one keep-alive
// is queued and not yet taken. Shared by the send API (any thread) and the MQTT thread.
#pragma once
#include <cstdint>

#include "hbn_os.h"

// Forgets both marks (a new cloud queue).
void HBN_cloud_restateReset();
// Marks a "connected" due and queues its element on `queue` without waiting ("CLOUD queue full,
// connected follows the queued messages\n", info, when there is no room; "CLOUD send queue push
// fail\n", warning, without a queue). Logged under `func`.
void HBN_cloud_restateConnected(const char* func, HBN_queue_t* queue);
// The MQTT thread: 1 when a "connected" is due (the mark is cleared). `fromQueue` 1: for a taken
// "connected" element with its `number` (an older one is stale: 0); 0: the queue is empty.
int HBN_cloud_takeConnectedDue(int fromQueue, uint32_t number);
// True when the caller is to queue a keep-alive (none waits in the queue yet); the mark is set.
bool HBN_cloud_keepAliveClaim();
// The queued keep-alive was taken (or could not be queued after its claim).
void HBN_cloud_keepAliveTaken();
