#include "hbn_reset.h"

#include <cstring>

namespace hbnreset {

namespace {

constexpr int kOpenAttempts = 5;
constexpr int kVersionAttempts = 10;
// The version answer: 12 bytes of version text and the library type.
constexpr size_t kVersionPayloadLength = 13;
constexpr size_t kVersionTextLength = 12;

void say(FILE* out, const char* text) {
  fputs(text, out);
  fflush(out);
}

// Sends one frame; a short write is reported and counts as a device error.
bool send(SerialPort& port, FILE* out, const std::vector<uint8_t>& frame) {
  int written = port.write(frame.data(), frame.size());
  if (written != static_cast<int>(frame.size())) {
    fprintf(out, "ERR:command send fail(%d)\n", written);
    fflush(out);
    return false;
  }
  return true;
}

void reply(SerialPort& port, uint8_t byte) { port.write(&byte, 1); }

// Flushes the input, puts the saved settings back and closes the port.
int finish(SerialPort& port, FILE* out, int status) {
  if (!port.flushInput()) {
    say(out, "ERR:device flush fail\n");
    status = 1;
  }
  if (!port.restoreSettings()) {
    say(out, "ERR:set device attr fail\n");
    status = 1;
  }
  port.close();
  return status;
}

// One version attempt: the request, then frames until the version answer or the time limit.
// Other good frames (the chip's own unsolicited requests) are acknowledged and skipped.
Receive checkVersion(SerialPort& port, FILE* out, long answerLimitMs, bool* sendFailed) {
  *sendFailed = false;
  if (!send(port, out, buildRequest(kCmdVersion, {}))) {
    *sendFailed = true;
    return Receive::kDeviceError;
  }
  long long deadline = port.nowMs() + answerLimitMs;
  for (;;) {
    Frame frame;
    Receive r = receiveFrame(port, deadline, &frame);
    if (r != Receive::kFrame) return r;
    if (frame.type != kTypeResponse || frame.commandId != kCmdVersion) continue;
    if (frame.payload.size() == kVersionPayloadLength) {
      char text[kVersionTextLength + 1] = {};
      memcpy(text, frame.payload.data(), kVersionTextLength);
      fprintf(out, "version[%s]\n", text);
      fflush(out);
    }
    return Receive::kFrame;
  }
}

}  // namespace

uint8_t checksum(const uint8_t* fromLength, size_t count) {
  uint8_t sum = 0xFF;
  for (size_t i = 0; i < count; ++i) sum ^= fromLength[i];
  return sum;
}

std::vector<uint8_t> buildRequest(uint8_t commandId, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame;
  frame.reserve(payload.size() + 5);
  frame.push_back(kSof);
  frame.push_back(static_cast<uint8_t>(payload.size() + 3));
  frame.push_back(kTypeRequest);
  frame.push_back(commandId);
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(checksum(frame.data() + 1, frame.size() - 1));
  return frame;
}

Receive receiveFrame(SerialPort& port, long long deadlineMs, Frame* frame) {
  auto next = [&](uint8_t* byte) -> int {
    long long left = deadlineMs - port.nowMs();
    if (left <= 0) return 0;
    return port.readByte(byte, static_cast<long>(left));
  };
  for (;;) {
    uint8_t byte = 0;
    int r = next(&byte);
    if (r <= 0) return r == 0 ? Receive::kTimeout : Receive::kDeviceError;
    if (byte != kSof) continue;  // ACK, NAK, CAN and noise between frames

    uint8_t length = 0;
    r = next(&length);
    if (r <= 0) return r == 0 ? Receive::kTimeout : Receive::kDeviceError;
    // The length counts type, command id, payload and checksum: below 3 there is no frame.
    if (length < 3) {
      reply(port, kNak);
      continue;
    }
    uint8_t body[256];
    body[0] = length;
    for (size_t i = 1; i <= length; ++i) {  // L-1 bytes, then the checksum
      r = next(&body[i]);
      if (r <= 0) return r == 0 ? Receive::kTimeout : Receive::kDeviceError;
    }
    if (checksum(body, length) != body[length]) {
      reply(port, kNak);
      continue;
    }
    reply(port, kAck);
    frame->type = body[1];
    frame->commandId = body[2];
    frame->payload.assign(body + 3, body + length);
    return Receive::kFrame;
  }
}

int run(SerialPort& port, const char* path, FILE* out, const Timing& timing) {
  for (int attempt = 0;; ++attempt) {
    if (port.open(path)) break;
    if (attempt + 1 >= kOpenAttempts) {
      fprintf(out, "ERR:device open fail.retry over(%s)\n", path);
      fflush(out);
      return 1;
    }
    fprintf(out, "WAR:device open fail.retry(%d)\n", attempt);
    fflush(out);
    port.sleepMs(timing.openRetryMs);
  }
  if (!port.saveSettings()) {
    say(out, "ERR:get device attr fail\n");
    port.close();
    return 1;
  }
  if (!port.flushInput()) {
    say(out, "ERR:device flush fail\n");
    port.close();
    return 1;
  }
  if (!port.applySettings()) {
    say(out, "ERR:set device attr fail\n");
    port.restoreSettings();  // undo whatever part of the change took effect
    port.close();
    return 1;
  }

  bool answered = false;
  for (int attempt = 0; attempt < kVersionAttempts && !answered; ++attempt) {
    bool sendFailed = false;
    Receive r = checkVersion(port, out, timing.answerLimitMs, &sendFailed);
    if (sendFailed) return finish(port, out, 1);
    if (r == Receive::kFrame) {
      answered = true;
    } else {
      say(out, "Z-Wave chip version check fail. retry\n");
      if (attempt + 1 < kVersionAttempts) port.sleepMs(timing.checkRetryMs);
    }
  }
  if (!answered) {
    say(out, "ERR:Z-Wave chip does not answer\n");
    return finish(port, out, 1);
  }

  if (!send(port, out, buildRequest(kCmdSetDefault, {kSetDefaultCallbackId}))) return finish(port, out, 1);
  port.sleepMs(timing.setDefaultWaitMs);
  return finish(port, out, 0);
}

}  // namespace hbnreset
