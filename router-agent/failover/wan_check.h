// The network check threads of dual-WAN operation: fail over from the main WAN to the sub WAN
// when the main one fails and back when it recovers, judged by the main session's MQTT state or
// by ICMP echoes through the main interface. Both are detached and never end.
#pragma once

// MQTT-mode check: every 10 s, from the main link's connection state and time stamps.
void wanStartMqttCheck();
// Ping-mode check: every ping interval, one echo to the ping host through the main interface.
void wanStartPingCheck();
// The WAN switch: over to the sub WAN (`toSub`) or back to the main WAN.
void wanSwitch(bool toSub);
