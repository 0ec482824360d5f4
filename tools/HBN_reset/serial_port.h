// The serial port seam of HBN_reset: every device operation the tool needs, so the reset
// sequence can run against a real tty (LinuxSerialPort) or a scripted port in tests.
#pragma once
#include <cstddef>
#include <cstdint>

#include <termios.h>

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Opens `path` for reading and writing without making it the controlling terminal.
  virtual bool open(const char* path) = 0;
  // Saves the settings found on the port so restoreSettings() can put them back.
  virtual bool saveSettings() = 0;
  // Drops whatever is waiting in the input queue.
  virtual bool flushInput() = 0;
  // 115200 baud, 8 data bits, receiver on, modem lines and parity errors ignored, raw
  // input and output, reads that return at once.
  virtual bool applySettings() = 0;
  virtual bool restoreSettings() = 0;
  virtual void close() = 0;
  // One write call; returns the count written (-1 on error).
  virtual int write(const uint8_t* data, size_t length) = 0;
  // Waits up to timeoutMs for one byte: 1 read, 0 nothing arrived in time, -1 device error.
  virtual int readByte(uint8_t* byte, long timeoutMs) = 0;
  // Monotonic milliseconds, and a pause; both go through the port so tests control time.
  virtual long long nowMs() = 0;
  virtual void sleepMs(long milliseconds) = 0;
};

// The real thing, on a Linux tty.
class LinuxSerialPort : public SerialPort {
 public:
  ~LinuxSerialPort() override;
  bool open(const char* path) override;
  bool saveSettings() override;
  bool flushInput() override;
  bool applySettings() override;
  bool restoreSettings() override;
  void close() override;
  int write(const uint8_t* data, size_t length) override;
  int readByte(uint8_t* byte, long timeoutMs) override;
  long long nowMs() override;
  void sleepMs(long milliseconds) override;

 private:
  int fd_ = -1;
  termios saved_{};
};
