// The chip reset tool against a chip that answers anything: the input is the byte stream the
// serial port delivers, split into one answer per request the tool writes (at 0xFE bytes),
// with the port's clock run virtually so that every wait passes at once.
#include <cstdio>
#include <vector>

#include "hbn_reset.h"

namespace {

class FuzzPort : public SerialPort {
 public:
  FuzzPort(const uint8_t* data, size_t size) {
    answers_.emplace_back();
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == 0xFE && answers_.size() < 32)
        answers_.emplace_back();
      else
        answers_.back().push_back(data[i]);
    }
  }
  bool open(const char*) override { return true; }
  bool saveSettings() override { return true; }
  bool flushInput() override { return true; }
  bool applySettings() override { return true; }
  bool restoreSettings() override { return true; }
  void close() override {}
  // A request (a frame starting with SOF) releases the next answer.
  int write(const uint8_t* data, size_t length) override {
    if (length > 0 && data[0] == hbnreset::kSof && next_ < answers_.size()) {
      pending_ = answers_[next_++];
      at_ = 0;
    }
    return static_cast<int>(length);
  }
  int readByte(uint8_t* byte, long timeoutMs) override {
    if (at_ >= pending_.size()) {
      clock_ += timeoutMs > 0 ? timeoutMs : 1;
      return 0;
    }
    clock_ += 1;
    *byte = pending_[at_++];
    return 1;
  }
  long long nowMs() override { return clock_; }
  void sleepMs(long milliseconds) override { clock_ += milliseconds; }

 private:
  std::vector<std::vector<uint8_t>> answers_;
  std::vector<uint8_t> pending_;
  size_t next_ = 0, at_ = 0;
  long long clock_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* quiet = fopen("/dev/null", "w");
  if (quiet == nullptr) return 0;
  FuzzPort port(data, size);
  hbnreset::run(port, "/dev/ttyFUZZ", quiet, hbnreset::Timing());
  // One frame on its own, as receiveFrame meets it.
  FuzzPort single(data, size);
  single.write(&hbnreset::kSof, 1);
  hbnreset::Frame frame;
  hbnreset::receiveFrame(single, 5000, &frame);
  return 0;
}
