// IR accessory commands (class 0xA0) carried as ordinary node data.
//
// Outgoing (message thread): learning start and readback get are sent to IR slot 1 with the
// cloud's IR number remembered; an IR send is split into paced 0xA0 0x0F frames, at least
// HBN_IR_PACING_MS (scaled by HBN_time_scaled) apart from the previous IR send.
// Incoming (command thread): an IR status gets the cloud's IR number back; code reports are
// collected (reports 1 to HBN_IR_MAX_REPORTS, at most HBN_IR_MAX_DATA bytes), the next one is
// asked for, and the assembled readback goes to the cloud as one node report.
// Other classes and other 0xA0 commands are not taken.
#pragma once
#include <cstdint>

enum {
  HBN_IR_MAX_REPORTS = 40,
  HBN_IR_MAX_DATA = 4095,
  HBN_IR_SEND_LIMIT = 4096,  // an IR send must be shorter than this
  HBN_IR_PACING_MS = 100,
};

// 0, or 1 when the context cannot be allocated. Idempotent.
int HBN_core_expandCmdInit();
void HBN_core_expandCmdFinish();
// 1 when the frame was taken (the caller does not send it), 0 otherwise.
int HBN_core_expandCmdSend(int nodeID, const uint8_t* data, int length, int secure);
// 1 when the report was taken (the caller does not pass it on), 0 otherwise.
int HBN_core_expandCmdRecv(int nodeID, int length, const uint8_t* data);
