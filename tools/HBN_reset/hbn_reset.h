// The Z-Wave chip reset sequence: open the serial port, check that the chip answers the
// Serial API version request, send the set-default request, restore the port.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "serial_port.h"

namespace hbnreset {

constexpr uint8_t kSof = 0x01;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kTypeRequest = 0x00;
constexpr uint8_t kTypeResponse = 0x01;
constexpr uint8_t kCmdVersion = 0x15;
constexpr uint8_t kCmdSetDefault = 0x42;
constexpr uint8_t kSetDefaultCallbackId = 0x01;

// Waits of the sequence, in milliseconds (main() scales them for tests).
struct Timing {
  long openRetryMs = 2000;       // between open attempts (5 attempts)
  long answerLimitMs = 2000;     // how long one version request waits for its answer
  long checkRetryMs = 2000;      // between version attempts (10 attempts)
  long setDefaultWaitMs = 4000;  // after the set-default request
};

// 0xFF XOR every byte from the length byte to the last payload byte.
uint8_t checksum(const uint8_t* fromLength, size_t count);
// SOF, length, request type, command id, payload, checksum.
std::vector<uint8_t> buildRequest(uint8_t commandId, const std::vector<uint8_t>& payload);

// A received frame with a good checksum.
struct Frame {
  uint8_t type = 0;
  uint8_t commandId = 0;
  std::vector<uint8_t> payload;
};

// Receive results.
enum class Receive { kFrame, kTimeout, kDeviceError };

// Reads until a frame with a good checksum arrives or the deadline (port clock) passes.
// Bytes other than SOF while waiting for a frame are dropped; each complete frame is
// answered with ACK (good checksum) or NAK (bad checksum, frame dropped, wait goes on).
Receive receiveFrame(SerialPort& port, long long deadlineMs, Frame* frame);

// The whole tool after its argument check. Messages go to `out`; returns the exit status.
int run(SerialPort& port, const char* path, FILE* out, const Timing& timing);

}  // namespace hbnreset
