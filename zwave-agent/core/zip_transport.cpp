// Z/IP pipe transport: the connection record, framing, the one-outstanding acknowledgement
// protocol, and the receive path that turns gateway packets into report kinds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "hbn_log.h"
#include "hbn_platform.h"
#include "hbn_path.h"
#include "hbn_zip.h"

namespace {

constexpr int kHeaderSize = 10;
// A stalled gateway must not block a reader or writer for long in the middle of a packet:
// each part of a packet is waited for at most this long (scaled by HBN_time_scaled).
constexpr long kPartTimeoutMs = 1000;

struct Connection {
  std::mutex initLock;  // Init/Finish against each other
  std::atomic<bool> initialized{false};
  std::atomic<int> readFd{-1};
  std::atomic<int> writeFd{-1};

  std::mutex lock;  // the record lock: building, sending, acknowledgement handling
  std::atomic<int> state{0};
  uint8_t zipSeq = 0;
  std::atomic<uint8_t> cmdSeq{0};
  std::atomic<int64_t> deadlineMs{0};  // end of the acknowledgement wait (steady clock)
  std::atomic<int> status{HBN_ZIP_STATUS_UNKNOWN};

  bool testActive = false;
  uint8_t testRequested = 0;
  uint8_t testIndex = 0;
  uint8_t testAcks = 0;
  uint8_t testReport[5] = {};

  std::mutex doneLock;  // the completion signal's own lock
  std::condition_variable doneSignal;

  // Receive side, used by the command thread only.
  uint8_t recvBuf[HBN_ZIP_BUFFER_SIZE] = {};
  char hexBuf[HBN_ZIP_BUFFER_SIZE * 3 + 1] = {};
};

Connection g_zip;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Wakes the sender waiting for the outstanding packet. Called with the record lock held.
void wakeSender() {
  { std::lock_guard<std::mutex> done(g_zip.doneLock); }
  g_zip.doneSignal.notify_all();
}

// Settles the outstanding packet with `status`. Called with the record lock held.
void settleLocked(int status) {
  g_zip.state.store(0);
  HBN_core_zipCmdSendDone(status);
  wakeSender();
}

// Waits until `fd` is ready for `events`; false on time-out, error or hang-up without data.
bool waitFd(int fd, short events, int timeoutMs) {
  struct pollfd p = {fd, events, 0};
  for (;;) {
    int r = hbn::platform().poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    return (p.revents & events) != 0;
  }
}

// Reads exactly `length` bytes, waiting at most kPartTimeoutMs for each part. Returns the
// number of bytes read (less than `length` on end of file, time-out or error). With `logFunc`
// each part read is logged under that name.
int readFull(int fd, uint8_t* dest, int length, const char* logFunc) {
  int got = 0;
  while (got < length) {
    if (!waitFd(fd, POLLIN, static_cast<int>(HBN_time_scaled(kPartTimeoutMs)))) break;
    ssize_t r = read(fd, dest + got, static_cast<size_t>(length - got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<int>(r);
    if (logFunc) HBN_log_printAt(HBN_LOG_DEBUG, logFunc, __LINE__, "read len=%d\n", static_cast<int>(r));
  }
  return got;
}

// Writes all bytes without letting a closed pipe raise SIGPIPE in the process.
bool writeAll(int fd, const uint8_t* data, size_t length) {
  sigset_t pipeSet, oldSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
  size_t done = 0;
  bool broken = false;
  while (done < length) {
    ssize_t r = write(fd, data + done, length - done);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN && waitFd(fd, POLLOUT, static_cast<int>(HBN_time_scaled(kPartTimeoutMs))))
      continue;
    broken = r < 0 && errno == EPIPE;
    break;
  }
  if (broken && !sigismember(&oldSet, SIGPIPE)) {
    // Consume the SIGPIPE raised for this thread before unblocking it again.
    struct timespec zero = {0, 0};
    sigtimedwait(&pipeSet, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
  return done == length;
}

void closeFd(std::atomic<int>& fd) {
  int old = fd.exchange(-1);
  if (old >= 0) close(old);
}

}  // namespace

int HBN_core_zipCmdInit() {
  HBN_LOG(HBN_LOG_INFO, "Z/IP Command handler init\n");
  std::lock_guard<std::mutex> init(g_zip.initLock);
  if (g_zip.initialized.load()) return 0;
  {
    std::lock_guard<std::mutex> lk(g_zip.lock);
    g_zip.state.store(0);
    g_zip.zipSeq = 0;
    g_zip.cmdSeq.store(0);
    g_zip.status.store(HBN_ZIP_STATUS_UNKNOWN);
    g_zip.deadlineMs.store(0);
    g_zip.testActive = false;
    g_zip.testRequested = g_zip.testIndex = g_zip.testAcks = 0;
  }
  int rfd = open(HBN_path("/tmp/zipgww").c_str(), O_RDONLY | O_CLOEXEC);
  if (rfd < 0) {
    HBN_LOG(HBN_LOG_ERROR, "PIPE(R) open fail\n");
    return -1;
  }
  int wfd = open(HBN_path("/tmp/zipgwr").c_str(), O_WRONLY | O_CLOEXEC);
  if (wfd < 0) {
    HBN_LOG(HBN_LOG_ERROR, "PIPE(W) open fail\n");
    close(rfd);
    return -1;
  }
  // Writes wait a bounded time for room in the pipe instead of blocking under the record lock.
  fcntl(wfd, F_SETFL, fcntl(wfd, F_GETFL) | O_NONBLOCK);
  g_zip.readFd.store(rfd);
  g_zip.writeFd.store(wfd);
  g_zip.initialized.store(true);
  return 0;
}

void HBN_core_zipCmdFinish() {
  HBN_LOG(HBN_LOG_INFO, "Z/IP Command handler finish\n");
  std::lock_guard<std::mutex> init(g_zip.initLock);
  std::lock_guard<std::mutex> lk(g_zip.lock);
  g_zip.initialized.store(false);
  closeFd(g_zip.writeFd);
  closeFd(g_zip.readFd);
  g_zip.testActive = false;
  if (g_zip.state.load() == 1) settleLocked(HBN_ZIP_STATUS_TIMEOUT);
}

int HBN_core_zipCmdGetFd() { return g_zip.readFd.load(); }

int HBN_core_zipCmdGetStatus() { return g_zip.status.load(); }

void HBN_core_zipStatusClear() { g_zip.status.store(HBN_ZIP_STATUS_UNKNOWN); }

int HBN_core_zipNextCmdSeq() { return g_zip.cmdSeq.fetch_add(1); }

int HBN_core_zipCmdSendData(const uint8_t* body, int length) {
  uint8_t packet[2 + HBN_ZIP_BUFFER_SIZE];
  int fd = g_zip.writeFd.load();
  if (body == nullptr || length < 0 || length > HBN_ZIP_BUFFER_SIZE || fd < 0) {
    HBN_LOG(HBN_LOG_ERROR, "Z/IP write error");
    return -1;
  }
  // Length and body go out in one write so that a packet is never split by another writer.
  packet[0] = static_cast<uint8_t>(length & 0xFF);
  packet[1] = static_cast<uint8_t>((length >> 8) & 0xFF);
  memcpy(packet + 2, body, static_cast<size_t>(length));
  if (!writeAll(fd, packet, static_cast<size_t>(length) + 2)) {
    HBN_LOG(HBN_LOG_ERROR, "Z/IP write error");
    return -1;
  }
  return 0;
}

void HBN_core_zipCmdSendDone(int status) {
  g_zip.status.store(status);
  switch (status) {
    case HBN_ZIP_STATUS_OK:
      HBN_LOG(HBN_LOG_DEBUG, "Transmission was successful\n");
      break;
    case HBN_ZIP_STATUS_REJECTED:
      HBN_LOG(HBN_LOG_DEBUG, "Transmission was rejected by far end.\n");
      break;
    case HBN_ZIP_STATUS_TIMEOUT:
      HBN_LOG(HBN_LOG_DEBUG, "Transmission was timeout.\n");
      break;
    default:
      HBN_LOG(HBN_LOG_DEBUG, "Transmission was unknown\n");
      break;
  }
}

int HBN_core_zipPacketSend(int dst, const uint8_t* command, int length, int secure, int untrackedMode) {
  if (length < 0 || (length > 0 && command == nullptr)) return 0;
  std::lock_guard<std::mutex> lk(g_zip.lock);
  if (!g_zip.initialized.load()) return 0;
  if (g_zip.state.load() == 1) {
    // A packet nobody waited for and nobody answered must not block the transport for good.
    if (nowMs() < g_zip.deadlineMs.load()) return 0;
    settleLocked(HBN_ZIP_STATUS_TIMEOUT);
  }
  if (1 + kHeaderSize + length > HBN_ZIP_MAX_SEND) return 0;
  uint8_t body[HBN_ZIP_MAX_SEND];
  uint8_t flags1 = 0xC0;
  if (secure) flags1 |= 0x10;
  if (untrackedMode == HBN_ZIP_SEND_NO_ROUTE) flags1 |= 0x08;
  if (untrackedMode == HBN_ZIP_SEND_TEST) flags1 |= 0x08 | 0x04;
  ++g_zip.zipSeq;
  body[0] = static_cast<uint8_t>(dst);
  body[1] = 0x23;
  body[2] = 0x02;
  body[3] = 0x80;
  body[4] = flags1;
  body[5] = g_zip.zipSeq;
  body[6] = 0;
  body[7] = 0;
  body[8] = 3;
  body[9] = 2;
  body[10] = 0;
  if (length > 0) memcpy(body + 1 + kHeaderSize, command, static_cast<size_t>(length));
  g_zip.state.store(1);
  g_zip.deadlineMs.store(nowMs() + HBN_time_scaled(HBN_ZIP_ACK_TIMEOUT_MS));
  if (untrackedMode == HBN_ZIP_SEND_TEST) g_zip.testActive = true;
  if (HBN_core_zipCmdSendData(body, 1 + kHeaderSize + length) != 0) {
    g_zip.state.store(0);
    return 0;
  }
  return 1;
}

void HBN_core_zipPacketRelease() {
  std::lock_guard<std::mutex> lk(g_zip.lock);
  g_zip.state.store(0);
  // A sender that woke up just as this packet went out must not sleep on until its deadline.
  wakeSender();
}

int HBN_core_zipPacketWait() {
  std::unique_lock<std::mutex> done(g_zip.doneLock);
  while (g_zip.state.load() == 1) {
    int64_t deadline = g_zip.deadlineMs.load();
    if (nowMs() >= deadline) {
      // Take the record lock without the signal's lock (the waker's order is record, signal).
      done.unlock();
      {
        std::lock_guard<std::mutex> lk(g_zip.lock);
        if (g_zip.state.load() == 1 && nowMs() >= g_zip.deadlineMs.load())
          settleLocked(HBN_ZIP_STATUS_TIMEOUT);
      }
      done.lock();
      continue;
    }
    g_zip.doneSignal.wait_for(done, std::chrono::milliseconds(deadline - nowMs()));
  }
  return g_zip.status.load();
}

int HBN_core_zipPacketParse(int nodeID, const uint8_t* packet, int length, const uint8_t** outCommand,
                            int* outLength) {
  (void)nodeID;
  *outCommand = nullptr;
  *outLength = 0;
  if (packet == nullptr || length < 7 || packet[0] != 0x23 || packet[1] != 0x02) return 0;
  const uint8_t flags0 = packet[2];
  const uint8_t flags1 = packet[3];
  const uint8_t seq = packet[4];
  bool handTestReport = false;
  int pos = 7;
  {
    std::lock_guard<std::mutex> lk(g_zip.lock);
    if (flags0 & 0x80) {
      const uint8_t ack[7] = {0x23, 0x02, 0x40, 0x00, seq, packet[6], packet[5]};
      HBN_core_zipCmdSendData(ack, sizeof(ack));
    }
    if (flags1 & 0x80) {
      // Header extension: its length byte counts itself, then options of type, length, value.
      const int extLength = pos < length ? packet[pos] : 0;
      if (extLength < 1 || pos + extLength > length) {
        HBN_LOG(HBN_LOG_WARN, "Z/IP header extension malformed(%d)\n", extLength);
        return 0;
      }
      const int end = pos + extLength;
      int opt = pos + 1;
      while (opt < end) {
        if (opt + 2 > end || opt + 2 + packet[opt + 1] > end) {
          HBN_LOG(HBN_LOG_WARN, "Z/IP header extension malformed(%d)\n", extLength);
          return 0;
        }
        const uint8_t type = packet[opt];
        const int kind = type & 0x7F;
        if ((kind < 1 || kind > 4) && (type & 0x80)) {
          fprintf(stderr, "package dropped because of unsupported option\n");
          return 0;
        }
        opt += 2 + packet[opt + 1];
      }
      pos = end;
    }
    if (g_zip.state.load() == 1 && seq == g_zip.zipSeq) {
      if (flags0 & 0x40) {
        ++g_zip.testAcks;
        handTestReport = g_zip.testActive;
        settleLocked(HBN_ZIP_STATUS_OK);
      } else if ((flags0 & 0x30) == 0x30) {
        // "Not yet": the gateway is still working on it; keep waiting, for longer.
        g_zip.deadlineMs.store(nowMs() + HBN_time_scaled(HBN_ZIP_ACK_WAITING_MS));
      } else if (flags0 & 0x20) {
        handTestReport = g_zip.testActive;
        settleLocked(HBN_ZIP_STATUS_REJECTED);
      }
    }
    if (handTestReport) {
      g_zip.testReport[0] = 0xFA;
      g_zip.testReport[1] = 0xFA;
      g_zip.testReport[2] = g_zip.testRequested;
      g_zip.testReport[3] = g_zip.testIndex;
      g_zip.testReport[4] = g_zip.testAcks;
      if (g_zip.testIndex == g_zip.testRequested) g_zip.testActive = false;
    }
  }
  if (handTestReport) {
    *outCommand = g_zip.testReport;
    *outLength = 5;
    return 1;
  }
  if ((flags1 & 0x40) && pos < length) {
    *outCommand = packet + pos;
    *outLength = length - pos;
    return 1;
  }
  return 0;
}

// Test-frame counters, kept under the record lock (the receive side reads them).
void HBN_core_zipTestBegin(int count) {
  std::lock_guard<std::mutex> lk(g_zip.lock);
  g_zip.testRequested = static_cast<uint8_t>(count);
  g_zip.testAcks = 0;
  g_zip.testIndex = 1;
}

void HBN_core_zipTestNext() {
  std::lock_guard<std::mutex> lk(g_zip.lock);
  ++g_zip.testIndex;
}

void HBN_core_zipTestEnd() {
  std::lock_guard<std::mutex> lk(g_zip.lock);
  g_zip.testActive = false;
}

int HBN_core_zipClassify(uint8_t* command, int length, const uint8_t** outData, int* outLength) {
  *outData = nullptr;
  *outLength = 0;
  if (command == nullptr || length <= 0) return HBN_ZIP_KIND_NONE;
  // Network-management reports: data after class, command and sequence number.
  auto afterSeq = [&](int kind) {
    if (length < 3) return static_cast<int>(HBN_ZIP_KIND_NONE);
    *outData = command + 3;
    *outLength = length - 3;
    return kind;
  };
  auto afterCommand = [&](int kind) {
    *outData = command + 2;
    *outLength = length - 2;
    return kind;
  };
  const uint8_t cls = command[0];
  if (cls == 0x00) {
    *outData = command;
    *outLength = length;
    return HBN_ZIP_KIND_KEEP_ALIVE;
  }
  if (cls == 0x52) return HBN_ZIP_KIND_NONE;
  if (cls == 0x6C) {
    // Encapsulated command: its length is the fourth byte, the command starts at the fifth.
    if (length < 4 || 4 + command[3] > length) {
      HBN_LOG(HBN_LOG_WARN, "encapsulated command too long(%d,%d)\n", length < 4 ? -1 : command[3], length);
      return HBN_ZIP_KIND_NONE;
    }
    if (command[3] == 0) return HBN_ZIP_KIND_NONE;
    *outData = command + 4;
    *outLength = command[3];
    return HBN_ZIP_KIND_NODE;
  }
  if (cls != 0x34 && cls != 0x4D && cls != 0x78 && cls != 0xFA && cls != 0x67) {
    *outData = command;
    *outLength = length;
    return HBN_ZIP_KIND_NODE;
  }
  if (length < 2) return HBN_ZIP_KIND_NONE;
  const uint8_t cmd = command[1];
  switch (cls) {
    case 0x34:
      switch (cmd) {
        case 0x02:
          return afterSeq(HBN_ZIP_KIND_INCLUSION);
        case 0x04:
          return afterSeq(HBN_ZIP_KIND_EXCLUSION);
        case 0x08:
          return afterSeq(HBN_ZIP_KIND_REMOVE);
        case 0x0A:
          return afterSeq(HBN_ZIP_KIND_REPLACE);
        case 0x11:
          return afterSeq(HBN_ZIP_KIND_KEYS);
        case 0x13:
          return afterSeq(HBN_ZIP_KIND_DSK);
        case 0x15:
          return afterSeq(HBN_ZIP_KIND_SMART_START);
        default:
          return HBN_ZIP_KIND_NONE;
      }
    case 0x4D:
      switch (cmd) {
        case 0x02:
          return afterSeq(HBN_ZIP_KIND_LEARN);
        case 0x07:
          return afterSeq(HBN_ZIP_KIND_RESET);
        case 0x09:
          return afterSeq(HBN_ZIP_KIND_GW_DSK);
        case 0x0B:
          return afterSeq(HBN_ZIP_KIND_NODE_LIST);
        case 0x0D:
          // The node information parser shares the inclusion layout, which needs status 6.
          if (length > 3) command[3] = 6;
          return afterSeq(HBN_ZIP_KIND_NODE_INFO);
        case 0xA9:
          return afterSeq(HBN_ZIP_KIND_GW_DSK_2);
        default:
          return HBN_ZIP_KIND_NONE;
      }
    case 0x78:
      return cmd == 0x04 ? afterSeq(HBN_ZIP_KIND_PV_LIST) : static_cast<int>(HBN_ZIP_KIND_NONE);
    case 0xFA:
      if (cmd != 0xFA || length != 5) return HBN_ZIP_KIND_NONE;
      return afterCommand(HBN_ZIP_KIND_TEST_RESULT);
    case 0x67:
      if (cmd == 0x08) return afterCommand(HBN_ZIP_KIND_CH_RSSI);
      if (cmd == 0x0A) return afterCommand(HBN_ZIP_KIND_NODE_RSSI);
      return HBN_ZIP_KIND_NONE;
    default:
      return HBN_ZIP_KIND_NONE;
  }
}

int HBN_core_zipCmdRecv(int* outKind, int* outNodeID, const uint8_t** outData, int* outLength) {
  *outKind = HBN_ZIP_KIND_NONE;
  *outNodeID = 0;
  *outData = nullptr;
  *outLength = 0;
  const int fd = g_zip.readFd.load();
  if (fd < 0) return -1;
  uint8_t head[2];
  int r = readFull(fd, head, 2, nullptr);
  if (r != 2) {
    HBN_LOG(HBN_LOG_ERROR, "read packet len fail(%d)\n", r);
    return -1;
  }
  const int length = head[0] | (head[1] << 8);
  HBN_LOG(HBN_LOG_DEBUG, "read len=%d,%d\n", r, length);
  if (length > HBN_ZIP_BUFFER_SIZE) {
    // Too long for the receive buffer: read it away so the next packet starts in step.
    HBN_LOG(HBN_LOG_ERROR, "Z/IP packet too long(%d), dropped\n", length);
    int left = length;
    while (left > 0) {
      int part = left < HBN_ZIP_BUFFER_SIZE ? left : HBN_ZIP_BUFFER_SIZE;
      int got = readFull(fd, g_zip.recvBuf, part, nullptr);
      if (got != part) {
        HBN_LOG(HBN_LOG_ERROR, "read packet fail(%d)\n", got);
        return -1;
      }
      left -= part;
    }
    return 0;
  }
  r = readFull(fd, g_zip.recvBuf, length, __func__);
  if (r != length) {
    HBN_LOG(HBN_LOG_ERROR, "read packet fail(%d)\n", r);
    return -1;
  }
  if (length < 1) return 0;
  const int nodeID = g_zip.recvBuf[0];
  const uint8_t* command = nullptr;
  int commandLength = 0;
  HBN_core_zipPacketParse(nodeID, g_zip.recvBuf + 1, length - 1, &command, &commandLength);
  size_t used = 0;
  for (int i = 0; i < commandLength; ++i) {
    used += static_cast<size_t>(
        snprintf(g_zip.hexBuf + used, sizeof(g_zip.hexBuf) - used, "%02hhX,", command[i]));
  }
  g_zip.hexBuf[used] = '\0';
  HBN_LOG(HBN_LOG_DEBUG, "---------------------\n");
  HBN_LOG(HBN_LOG_DEBUG, "nodeID=%d\n", nodeID);
  HBN_LOG(HBN_LOG_DEBUG, "len   =%d\n", commandLength);
  HBN_LOG(HBN_LOG_DEBUG, "data  =%s\n", g_zip.hexBuf);
  *outNodeID = nodeID;
  if (commandLength == 0) return 0;
  // The command lies in one of the record's own buffers (receive buffer or test report).
  uint8_t* mutableCommand = const_cast<uint8_t*>(command);
  *outKind = HBN_core_zipClassify(mutableCommand, commandLength, outData, outLength);
  return 0;
}
