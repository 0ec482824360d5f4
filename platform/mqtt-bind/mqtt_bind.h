// Interface-bound MQTT connect: the platform MQTT library's `MQTTAsync_connect2`, which the Paho
// library of a development machine lacks. The session's TCP socket is really bound to the named
// interface (SO_BINDTODEVICE, needs CAP_NET_RAW) before it connects, so its traffic leaves
// through that interface whatever the routing table prefers.
//
// Link the static library `mqtt_bind` into the program: besides the entry it defines the
// process's connect(), which places the binding on the socket that Paho's send thread creates.
#pragma once
#include <MQTTAsync.h>

// Starts a connection like MQTTAsync_connect, with the same results. A null or empty `ifname`
// is exactly MQTTAsync_connect. With a name:
// - The process enters bound mode for good: from then on a TCP connect() anywhere in the process
//   that is not the socket of a bound attempt fails with EADDRNOTAVAIL unless it goes to a
//   loopback address, so no socket leaves unbound. Unbound MQTT clients of remote servers cannot
//   run beside bound ones in one process.
// - The attempt speaks MQTT 3.1.1 when `options` ask for the default version (no second, 3.1
//   socket after a failure) and never reconnects automatically (such reconnects would open
//   sockets without a binding): the caller reconnects through this entry again.
// - Options that list several server URIs are refused (MQTTASYNC_BAD_STRUCTURE), and so is a
//   name of IFNAMSIZ characters or more (MQTTASYNC_FAILURE). An interface that does not exist
//   or cannot be bound makes the attempt fail through the onFailure callback.
// - The caller's callbacks are called with the caller's context, as MQTTAsync_connect would.
// - Bound attempts of all clients are serialised: the call returns once Paho has created and
//   bound the attempt's socket or the attempt ended (at most about 30 s). Call it from the
//   client's own thread, never from an MQTT callback.
extern "C" int MQTTAsync_connect2(MQTTAsync handle, const MQTTAsync_connectOptions* options,
                                  const char* ifname);
