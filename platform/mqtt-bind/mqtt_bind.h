// Interface-bound MQTT connect: the platform MQTT library's `MQTTAsync_connect2`, which the Paho
// library of a development machine lacks. The session's TCP socket is really bound to the named
// interface (SO_BINDTODEVICE, needs CAP_NET_RAW) before it connects, so its traffic leaves
// through that interface whatever the routing table prefers.
//
// Link the static library `mqtt_bind` into the program: besides the entry it defines the
// process's connect(), which places the binding on the socket that Paho's send thread creates,
// and MQTTAsync_create, MQTTAsync_createWithOptions and MQTTAsync_destroy, which keep each
// client's server URI.
#pragma once
#include <MQTTAsync.h>

// Starts a connection like MQTTAsync_connect, with the same results. A null or empty `ifname`
// is exactly MQTTAsync_connect. With a name:
// - The attempt's socket is the TCP connect() to the client's server: the port of its URI (or of
//   the one URI in `options`) and an address that its host resolves to (getaddrinfo, when the
//   call is made). Only that connect is bound. From then on, any other TCP connect() of the
//   process to a port that bound attempts went to fails with EADDRNOTAVAIL unless it goes to
//   loopback (it would leave unbound); connects to other ports are left alone. So unbound MQTT
//   clients of such a port cannot run beside bound ones.
// - The client must have been made with MQTTAsync_create or MQTTAsync_createWithOptions of a
//   program that links this library (they are defined here: they remember the client's URI and
//   call the library's own); else the call fails with MQTTASYNC_FAILURE.
// - Each attempt opens one socket and never reconnects automatically (such reconnects would open
//   sockets without a binding): the caller reconnects through this entry again. When `options`
//   leave the MQTT version to the library, an attempt speaks 3.1.1, and the attempt after a
//   failed 3.1.1 one speaks 3.1: the library's own fall-back opens a second socket within the
//   attempt, which could not be told from the first socket of another session to the same server.
// - Options that list several server URIs are refused (MQTTASYNC_BAD_STRUCTURE), and so is a
//   name of IFNAMSIZ characters or more (MQTTASYNC_FAILURE). An interface that does not exist
//   or cannot be bound makes the attempt fail through the onFailure callback.
// - The caller's callbacks are called with the caller's context, as MQTTAsync_connect would.
// - Bound attempts of all clients are serialised: the call returns once Paho has created and
//   bound the attempt's socket or the attempt ended (at most about 30 s after the name was
//   resolved). Call it from the client's own thread, never from an MQTT callback.
extern "C" int MQTTAsync_connect2(MQTTAsync handle, const MQTTAsync_connectOptions* options,
                                  const char* ifname);
