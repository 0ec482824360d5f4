// The reset sequence against a scripted port: frames, the receive state machine, retries and
// every device failure, on a virtual clock.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hbn_reset.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVersionRequest = {0x01, 0x03, 0x00, 0x15, 0xE9};
const Bytes kSetDefault = {0x01, 0x04, 0x00, 0x42, 0x01, 0xB8};

// A response frame as the chip sends it, with a good checksum.
Bytes chipFrame(uint8_t command, const Bytes& payload) {
  Bytes f = {0x01, static_cast<uint8_t>(payload.size() + 3), 0x01, command};
  f.insert(f.end(), payload.begin(), payload.end());
  f.push_back(hbnreset::checksum(f.data() + 1, f.size() - 1));
  return f;
}

Bytes versionAnswer() {
  std::string text("Z-Wave 6.07\0", 12);
  Bytes payload(text.begin(), text.end());
  payload.push_back(0x07);  // library type
  return chipFrame(0x15, payload);
}

class FakePort : public SerialPort {
 public:
  int openFailures = 0;
  bool failSave = false, failApply = false, failRestore = false, failRead = false;
  int failFlushCall = -1;   // which flushInput() call fails (0 = first)
  int shortWriteCall = -1;  // which write() call is cut short
  std::deque<uint8_t> input;
  Bytes written;
  std::vector<long> sleeps;
  std::vector<std::string> calls;
  long long clock = 0;
  // Plays the chip: called with each frame or reply byte the tool writes.
  std::function<void(const Bytes&)> onWrite;

  bool open(const char*) override {
    calls.push_back("open");
    return openFailures-- <= 0;
  }
  bool saveSettings() override { return !failSave; }
  bool flushInput() override {
    calls.push_back("flush");
    return flushCalls++ != failFlushCall;
  }
  bool applySettings() override {
    calls.push_back("apply");
    return !failApply;
  }
  bool restoreSettings() override {
    calls.push_back("restore");
    return !failRestore;
  }
  void close() override { calls.push_back("close"); }
  int write(const uint8_t* data, size_t length) override {
    Bytes chunk(data, data + length);
    if (writeCalls++ == shortWriteCall) {
      written.insert(written.end(), data, data + 2);
      return 2;
    }
    written.insert(written.end(), chunk.begin(), chunk.end());
    if (onWrite) onWrite(chunk);
    return static_cast<int>(length);
  }
  int readByte(uint8_t* byte, long timeoutMs) override {
    if (failRead) return -1;
    if (input.empty()) {
      clock += timeoutMs;
      return 0;
    }
    clock += 1;
    *byte = input.front();
    input.pop_front();
    return 1;
  }
  long long nowMs() override { return clock; }
  void sleepMs(long ms) override {
    sleeps.push_back(ms);
    clock += ms;
  }
  void feed(const Bytes& b) { input.insert(input.end(), b.begin(), b.end()); }

 private:
  int flushCalls = 0;
  int writeCalls = 0;
};

struct Outcome {
  int status;
  std::string out;
};

Outcome runTool(FakePort& port) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  int status = hbnreset::run(port, "/dev/ttyFAKE", out, hbnreset::Timing{});
  fclose(out);
  Outcome o{status, std::string(text, size)};
  free(text);
  return o;
}

TEST(HbnResetFrames, RequestsAndChecksums) {
  EXPECT_EQ(hbnreset::buildRequest(0x15, {}), kVersionRequest);
  EXPECT_EQ(hbnreset::buildRequest(0x42, {0x01}), kSetDefault);
}

TEST(HbnResetSequence, VersionThenSetDefault) {
  FakePort port;
  port.onWrite = [&](const Bytes& b) {
    if (b == kVersionRequest) {
      port.feed({0x06});  // the chip's ACK is dropped while waiting for a frame
      port.feed(versionAnswer());
    }
  };
  Outcome o = runTool(port);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "version[Z-Wave 6.07]\n");
  Bytes expected = kVersionRequest;
  expected.push_back(0x06);
  expected.insert(expected.end(), kSetDefault.begin(), kSetDefault.end());
  EXPECT_EQ(port.written, expected);
  EXPECT_EQ(port.sleeps, std::vector<long>{4000});
  EXPECT_EQ(port.calls, (std::vector<std::string>{"open", "flush", "apply", "flush", "restore", "close"}));
}

// What the chip sends after the version request, and what the host must reply with.
TEST(HbnResetSequence, ReceiveStateMachine) {
  const Bytes answer = versionAnswer();
  Bytes badChecksum = answer;
  badChecksum.back() ^= 0x5A;
  // A request of the chip's own (application command) arriving before the answer.
  Bytes appRequest = {0x01, 0x05, 0x00, 0x04, 0x00, 0x02};
  appRequest.push_back(hbnreset::checksum(appRequest.data() + 1, 5));

  struct Case {
    const char* name;
    Bytes chip;
    Bytes replies;  // what the host writes between the two requests
    const char* out;
  };
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Case cases[] = {
      {"noise before the frame", cat({{0x15, 0x18, 0xAA}, answer}), {0x06}, "version[Z-Wave 6.07]\n"},
      {"bad checksum is NAKed, wait goes on",
       cat({badChecksum, answer}),
       {0x15, 0x06},
       "version[Z-Wave 6.07]\n"},
      {"length below 3 is NAKed", cat({{0x01, 0x02}, answer}), {0x15, 0x06}, "version[Z-Wave 6.07]\n"},
      {"unsolicited frame is ACKed and skipped",
       cat({appRequest, answer}),
       {0x06, 0x06},
       "version[Z-Wave 6.07]\n"},
      {"short version answer passes without a version line", chipFrame(0x15, {0x41, 0x42}), {0x06}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    port.onWrite = [&](const Bytes& b) {
      if (b == kVersionRequest) port.feed(c.chip);
    };
    Outcome o = runTool(port);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, c.out);
    Bytes expected = cat({kVersionRequest, c.replies, kSetDefault});
    EXPECT_EQ(port.written, expected);
  }
}

// A chip that never answers, and a port that fails every read, end the same bounded way.
TEST(HbnResetSequence, SilentChipGivesUpAfterTenAttempts) {
  for (bool readError : {false, true}) {
    SCOPED_TRACE(readError ? "read error" : "silence");
    FakePort port;
    port.failRead = readError;
    Outcome o = runTool(port);
    EXPECT_EQ(o.status, 1);
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += "Z-Wave chip version check fail. retry\n";
    expected += "ERR:Z-Wave chip does not answer\n";
    EXPECT_EQ(o.out, expected);
    Bytes requests;
    for (int i = 0; i < 10; ++i)
      requests.insert(requests.end(), kVersionRequest.begin(), kVersionRequest.end());
    EXPECT_EQ(port.written, requests);  // never the set-default frame
    EXPECT_EQ(port.sleeps.size(), 9u);
    EXPECT_LE(port.clock, 10 * 2000 + 9 * 2000);
    EXPECT_EQ(port.calls.back(), "close");
  }
}

TEST(HbnResetSequence, PartialAnswerTimesOut) {
  FakePort port;
  int requests = 0;
  port.onWrite = [&](const Bytes& b) {
    if (b != kVersionRequest) return;
    Bytes answer = versionAnswer();
    if (requests++ == 0) answer.resize(6);  // the chip stalls mid-frame once
    port.feed(answer);
  };
  Outcome o = runTool(port);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "Z-Wave chip version check fail. retry\nversion[Z-Wave 6.07]\n");
}

TEST(HbnResetSequence, OpenRetries) {
  {
    FakePort port;
    port.openFailures = 2;
    port.onWrite = [&](const Bytes& b) {
      if (b == kVersionRequest) port.feed(versionAnswer());
    };
    Outcome o = runTool(port);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "WAR:device open fail.retry(0)\nWAR:device open fail.retry(1)\nversion[Z-Wave 6.07]\n");
    EXPECT_EQ(port.sleeps, (std::vector<long>{2000, 2000, 4000}));
  }
  {
    FakePort port;
    port.openFailures = 5;
    Outcome o = runTool(port);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out,
              "WAR:device open fail.retry(0)\nWAR:device open fail.retry(1)\nWAR:device open fail.retry(2)\n"
              "WAR:device open fail.retry(3)\nERR:device open fail.retry over(/dev/ttyFAKE)\n");
    EXPECT_EQ(port.calls, std::vector<std::string>(5, "open"));
  }
}

TEST(HbnResetSequence, DeviceFailures) {
  struct Case {
    const char* name;
    std::function<void(FakePort&)> setup;
    const char* out;
    bool wroteSetDefault;
  };
  const Case cases[] = {
      {"settings unreadable", [](FakePort& p) { p.failSave = true; }, "ERR:get device attr fail\n", false},
      {"first flush", [](FakePort& p) { p.failFlushCall = 0; }, "ERR:device flush fail\n", false},
      {"settings not applied", [](FakePort& p) { p.failApply = true; }, "ERR:set device attr fail\n", false},
      {"version request short", [](FakePort& p) { p.shortWriteCall = 0; }, "ERR:command send fail(2)\n",
       false},
      {"set default short", [](FakePort& p) { p.shortWriteCall = 2; },
       "version[Z-Wave 6.07]\nERR:command send fail(2)\n", false},
      {"final flush", [](FakePort& p) { p.failFlushCall = 1; },
       "version[Z-Wave 6.07]\nERR:device flush fail\n", true},
      {"settings not restored", [](FakePort& p) { p.failRestore = true; },
       "version[Z-Wave 6.07]\nERR:set device attr fail\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePort port;
    c.setup(port);
    port.onWrite = [&](const Bytes& b) {
      if (b == kVersionRequest) port.feed(versionAnswer());
    };
    Outcome o = runTool(port);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, c.out);
    Bytes tail(port.written.end() - std::min<size_t>(port.written.size(), kSetDefault.size()),
               port.written.end());
    EXPECT_EQ(tail == kSetDefault, c.wroteSetDefault);
    EXPECT_EQ(port.calls.back(), "close");
  }
}

}  // namespace
