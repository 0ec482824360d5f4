// IR accessory commands (class 0xA0): slot remapping, paced code sends split into frames, and
// reassembly of a multi-report code readback into one node report for the cloud.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "hbn_cloud.h"
#include "hbn_platform.h"
#include "hbn_ir.h"
#include "hbn_log.h"
#include "hbn_path.h"
#include "hbn_zip.h"

namespace {

constexpr uint8_t kClass = 0xA0;
constexpr int kHeader = 5;  // 0xA0 0x0A, IR number, report count (2 bytes)
// Each report's length travels in one byte of the readback's length table.
constexpr int kMaxReportLength = 255;

struct IrContext {
  // Readback state, shared by the message thread (gets) and the command thread (reports).
  std::mutex lock;
  int currentIr = 0;
  int lastReport = 0;
  int nodeID = 0;
  int secure = 0;
  int collected = 0;
  uint8_t lengths[HBN_IR_MAX_REPORTS] = {};
  uint8_t message[kHeader + HBN_IR_MAX_DATA + HBN_IR_MAX_REPORTS] = {};
  uint8_t status[HBN_ZIP_BUFFER_SIZE] = {};  // IR status with the cloud's IR number put back

  // IR send state, message thread only.
  uint8_t sendSeq = 255;
  int sendLength = 0;
  uint8_t sendBuf[HBN_IR_SEND_LIMIT] = {};
  long long previousSendMs = 0;
  uint8_t frame[HBN_ZIP_MAX_COMMAND] = {};
  char hex[HBN_ZIP_MAX_COMMAND * 3 + 1] = {};
};

IrContext* g_ir = nullptr;
// Send and receive hold it shared, so that finishing never frees the context under them.
std::shared_mutex g_irLife;

long long monotonicMs() { return hbn::platform().monotonicMs(); }

void sleepMs(long long ms) { hbn::platform().sleepMs(static_cast<long>(ms)); }

// Copies a cloud frame, puts IR slot 1 in byte 2 and sends it to the node.
void sendToSlotOne(IrContext& c, int nodeID, const uint8_t* data, int length, int secure) {
  if (length > HBN_ZIP_MAX_COMMAND) {
    HBN_LOG(HBN_LOG_ERROR, "IR frame too long(%d)\n", length);
    return;
  }
  memcpy(c.frame, data, static_cast<size_t>(length));
  c.frame[2] = 1;
  HBN_core_zipCmdSend(nodeID, c.frame, length, secure);
}

void HBN_core_expandCmdSend_irStart(IrContext& c, int nodeID, const uint8_t* data, int length, int secure) {
  if (length < 6) return;
  std::lock_guard<std::mutex> lk(c.lock);
  c.currentIr = data[2];
  HBN_LOG(HBN_LOG_INFO, "IR LEARNING:%d\n", c.currentIr);
  sendToSlotOne(c, nodeID, data, length, secure);
}

void HBN_core_expandCmdSend_irGet(IrContext& c, int nodeID, const uint8_t* data, int length, int secure) {
  if (length < 5) return;
  std::lock_guard<std::mutex> lk(c.lock);
  const int report = ((data[3] & 0x7F) << 8) | data[4];
  HBN_LOG(HBN_LOG_INFO, "IR_CODE_READBACK_GET:%d,%d\n", c.currentIr, c.lastReport);
  HBN_LOG(HBN_LOG_INFO, "report no=%d\n", report);
  // Later reports are fetched by the agent itself as each one arrives.
  if (report != 1) return;
  c.currentIr = data[2];
  c.lastReport = 0;
  c.nodeID = nodeID;
  c.secure = secure;
  c.collected = 0;
  sendToSlotOne(c, nodeID, data, length, secure);
}

void HBN_core_expandCmdSend_irSend(IrContext& c, int nodeID, const uint8_t* data, int length, int secure) {
  if (length < 8) return;
  if (length >= HBN_IR_SEND_LIMIT) {
    HBN_LOG(HBN_LOG_ERROR, "IR Buffer over flow(%d<=%d)\n", HBN_IR_SEND_LIMIT, length);
    return;
  }
  HBN_LOG(HBN_LOG_INFO, "IR_REPEATER_REPEAT:\n");
  HBN_LOG(HBN_LOG_INFO, "%d,%d\n", length, length);
  memcpy(c.sendBuf, data, static_cast<size_t>(length));
  c.sendLength = length;
  const int count = (c.sendBuf[3] << 8) | c.sendBuf[4];
  HBN_LOG(HBN_LOG_INFO, "report total=%d\n", count);
  // The chunks and their length table must lie inside the data, and every frame must fit a
  // Z/IP packet; otherwise nothing is sent rather than a partial code.
  if (count < 1 || kHeader + count > length) {
    HBN_LOG(HBN_LOG_ERROR, "IR report count does not fit(%d,%d)\n", count, length);
    return;
  }
  const uint8_t* table = c.sendBuf + length - count;
  int total = 0;
  for (int i = 0; i < count; ++i) {
    if (table[i] + 3 > HBN_ZIP_MAX_COMMAND) {
      HBN_LOG(HBN_LOG_ERROR, "IR report too long(%d)\n", table[i]);
      return;
    }
    total += table[i];
  }
  if (kHeader + total + count > length) {
    HBN_LOG(HBN_LOG_ERROR, "IR report count does not fit(%d,%d)\n", count, length);
    return;
  }
  // Keep successive codes apart on the radio; the spacing counts from when the previous code
  // actually went out.
  const long long pacing = HBN_time_scaled(HBN_IR_PACING_MS);
  const long long elapsed = monotonicMs() - c.previousSendMs;
  if (elapsed < pacing) sleepMs(pacing - elapsed);
  c.previousSendMs = monotonicMs();
  ++c.sendSeq;
  int offset = kHeader;
  for (int i = 0; i < count; ++i) {
    const int chunk = table[i];
    const int frameLength = chunk + 3;
    c.frame[0] = kClass;
    c.frame[1] = 0x0F;
    c.frame[2] = c.sendSeq;
    memcpy(c.frame + 3, c.sendBuf + offset, static_cast<size_t>(chunk));
    offset += chunk;
    size_t used = 0;
    for (int k = 0; k < frameLength; ++k) {
      used += static_cast<size_t>(snprintf(c.hex + used, sizeof(c.hex) - used, "%02hhX,", c.frame[k]));
    }
    c.hex[used] = '\0';
    HBN_LOG(HBN_LOG_DEBUG, "---------------------\n");
    HBN_LOG(HBN_LOG_DEBUG, "data[%d]=%s\n", frameLength, c.hex);
    HBN_core_zipCmdSend(nodeID, c.frame, frameLength, secure);
  }
}

void HBN_core_expandCmdRecv_irStatus(IrContext& c, int nodeID, const uint8_t* data, int length) {
  if (length < 4 || length > static_cast<int>(sizeof(c.status))) return;
  std::lock_guard<std::mutex> lk(c.lock);
  HBN_LOG(HBN_LOG_INFO, "STATUS IR=%d\n", c.currentIr);
  memcpy(c.status, data, static_cast<size_t>(length));
  c.status[2] = static_cast<uint8_t>(c.currentIr);
  HBN_cloud_sendNodeReceive(nodeID, length, c.status);
}

void HBN_core_expandCmdRecv_irReport(IrContext& c, const uint8_t* data, int length) {
  if (length < 8) return;
  std::lock_guard<std::mutex> lk(c.lock);
  HBN_LOG(HBN_LOG_INFO, "GET IR=%d,%d,%d\n", c.currentIr, c.lastReport, c.collected);
  const int report = ((data[6] & 0x7F) << 8) | data[7];
  const int last = (data[6] & 0x80) ? 1 : 0;
  const int reportLength = length - 3;
  HBN_LOG(HBN_LOG_INFO, "report no=%d,last=%d,report len=%d\n", report, last, reportLength);
  if (report == c.lastReport) return;  // a repeat
  if (report != c.lastReport + 1) {
    // Out of order: keep waiting for the report that was asked for.
    HBN_LOG(HBN_LOG_WARN, "IR report out of order(%d,%d)\n", report, c.lastReport);
    return;
  }
  HBN_LOG(HBN_LOG_INFO, "new data recive\n");
  const int sum = c.collected + reportLength;
  if (sum >= HBN_IR_SEND_LIMIT) {
    HBN_LOG(HBN_LOG_ERROR, "IR Buffer over flow(%d<=%d)\n", HBN_IR_SEND_LIMIT, sum);
  } else if (report > HBN_IR_MAX_REPORTS || reportLength > kMaxReportLength ||
             kHeader + sum + report > HBN_CLOUD_BUF_SIZE) {
    HBN_LOG(HBN_LOG_ERROR, "IR readback too large(%d,%d)\n", report, sum);
  } else {
    c.lengths[report - 1] = static_cast<uint8_t>(reportLength);
    memcpy(c.message + kHeader + c.collected, data + 3, static_cast<size_t>(reportLength));
    c.collected = sum;
    if (!last) {
      c.lastReport = c.lastReport + 1;
      const int next = c.lastReport + 1;
      HBN_LOG(HBN_LOG_INFO, "data report get next:report no=%d\n", next);
      const uint8_t get[] = {kClass, 0x09, 0x01, static_cast<uint8_t>((next >> 8) & 0x7F),
                             static_cast<uint8_t>(next & 0xFF)};
      HBN_core_zipCmdSend(c.nodeID, get, sizeof(get), c.secure);
      return;
    }
    HBN_LOG(HBN_LOG_INFO, "data report finish;total len=%d\n", c.collected);
    c.message[0] = kClass;
    c.message[1] = 0x0A;
    c.message[2] = static_cast<uint8_t>(c.currentIr);
    c.message[3] = static_cast<uint8_t>((report >> 8) & 0xFF);
    c.message[4] = static_cast<uint8_t>(report & 0xFF);
    memcpy(c.message + kHeader + c.collected, c.lengths, static_cast<size_t>(report));
    HBN_cloud_sendNodeReceive(c.nodeID, kHeader + c.collected + report, c.message);
  }
  c.currentIr = 0;
  c.lastReport = 0;
  c.collected = 0;
}

}  // namespace

int HBN_core_expandCmdInit() {
  std::lock_guard<std::shared_mutex> life(g_irLife);
  if (g_ir != nullptr) return 0;
  IrContext* c = new (std::nothrow) IrContext();
  if (c == nullptr) return 1;
  c->message[0] = kClass;
  c->message[1] = 0x0A;
  c->sendSeq = 255;
  c->sendLength = 0;
  c->previousSendMs = monotonicMs();
  g_ir = c;
  return 0;
}

void HBN_core_expandCmdFinish() {
  std::lock_guard<std::shared_mutex> life(g_irLife);
  delete g_ir;
  g_ir = nullptr;
}

int HBN_core_expandCmdSend(int nodeID, const uint8_t* data, int length, int secure) {
  std::shared_lock<std::shared_mutex> life(g_irLife);
  IrContext* c = g_ir;
  if (c == nullptr || data == nullptr || length < 2) return 0;
  HBN_LOG(HBN_LOG_DEBUG, "cmd=0x%02hhX,0x%02hhX\n", data[0], data[1]);
  if (data[0] != kClass) return 0;
  switch (data[1]) {
    case 0x03:
      HBN_core_expandCmdSend_irStart(*c, nodeID, data, length, secure);
      return 1;
    case 0x09:
      HBN_core_expandCmdSend_irGet(*c, nodeID, data, length, secure);
      return 1;
    case 0x0F:
      HBN_core_expandCmdSend_irSend(*c, nodeID, data, length, secure);
      return 1;
    default:
      return 0;
  }
}

int HBN_core_expandCmdRecv(int nodeID, int length, const uint8_t* data) {
  std::shared_lock<std::shared_mutex> life(g_irLife);
  IrContext* c = g_ir;
  if (c == nullptr || data == nullptr || length < 2) return 0;
  HBN_LOG(HBN_LOG_DEBUG, "nodeID=%d,cmd=0x%02hhX,0x%02hhX\n", nodeID, data[0], data[1]);
  if (data[0] != kClass) return 0;
  switch (data[1]) {
    case 0x05:
      HBN_core_expandCmdRecv_irStatus(*c, nodeID, data, length);
      return 1;
    case 0x0A:
      HBN_core_expandCmdRecv_irReport(*c, data, length);
      return 1;
    default:
      return 0;
  }
}
