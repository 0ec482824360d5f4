// Z/IP pipe transport and the Z-Wave command frames the core sends to the gateway.
//
// The Z/IP gateway process owns the radio and two named pipes: the agent reads
// HBN_path("/tmp/zipgww") and writes HBN_path("/tmp/zipgwr"). A pipe packet is a 2-byte
// little-endian length followed by the body: node ID (destination when sending, source when
// receiving) and a Z/IP packet (0x23 0x02, flags, sequence, endpoints, header extension,
// Z-Wave command). The acknowledgement the agent writes back has no node ID byte.
//
// One tracked packet is outstanding at a time. The sender ("core-msg") sends and waits on a
// completion signal; the only reader ("core-cmd") parses the gateway's acknowledgement and
// wakes it. The wait is bounded: HBN_ZIP_ACK_TIMEOUT_MS (scaled by HBN_time_scaled) after a
// send, restarted with HBN_ZIP_ACK_WAITING_MS after a "not yet" answer from the gateway; when it
// runs out the completion status becomes 3 ("Transmission was timeout."). A tracked packet
// that nobody waits for (node list request from the command thread) expires the same way on
// the next send. HBN_core_zipCmdFinish wakes every waiter with status 3.
//
// Results: the command operations return 0 success or -1 failure (not sent, rejected,
// timed out). Every fixed length below is checked before a byte is read or written.
#pragma once
#include <cstdint>

enum {
  HBN_ZIP_BUFFER_SIZE = 2048,            // receive buffer; longer packets are read and dropped
  HBN_ZIP_MAX_SEND = 512,                // node ID byte + 10-byte header + command
  HBN_ZIP_MAX_COMMAND = 501,             // longest command that fits
  HBN_ZIP_ACK_TIMEOUT_MS = 10000,        // acknowledgement wait after a send (before scaling)
  HBN_ZIP_ACK_WAITING_MS = 60000,        // wait restarted by a "not yet" answer (before scaling)
  HBN_ZIP_NODE_LIST_TIMEOUT_MS = 20000,  // suggested bound for the first node list (before scaling)
};

// Completion status of the last tracked transmission.
enum {
  HBN_ZIP_STATUS_UNKNOWN = 0,
  HBN_ZIP_STATUS_OK = 1,
  HBN_ZIP_STATUS_REJECTED = 2,
  HBN_ZIP_STATUS_TIMEOUT = 3,
};

// Untracked modes of HBN_core_zipPacketSend.
enum {
  HBN_ZIP_SEND_TRACKED = 0,   // ordinary packet
  HBN_ZIP_SEND_NO_ROUTE = 1,  // flags 1 gets 0x08 (force-failing probe)
  HBN_ZIP_SEND_TEST = 2,      // flags 1 gets 0x08 | 0x04 and the test counters run
};

// Report kinds produced by HBN_core_zipCmdRecv (0 = nothing to dispatch).
enum {
  HBN_ZIP_KIND_NONE = 0,
  HBN_ZIP_KIND_NODE = 1,  // node data (IR receiver first, then the cloud)
  HBN_ZIP_KIND_NODE_LIST = 2,
  HBN_ZIP_KIND_INCLUSION = 3,
  HBN_ZIP_KIND_EXCLUSION = 4,
  HBN_ZIP_KIND_LEARN = 5,
  HBN_ZIP_KIND_REMOVE = 6,
  HBN_ZIP_KIND_REPLACE = 7,
  HBN_ZIP_KIND_NODE_INFO = 8,
  HBN_ZIP_KIND_KEYS = 9,
  HBN_ZIP_KIND_DSK = 10,
  HBN_ZIP_KIND_GW_DSK = 11,
  HBN_ZIP_KIND_GW_DSK_2 = 12,
  HBN_ZIP_KIND_RESET = 13,
  HBN_ZIP_KIND_KEEP_ALIVE = 14,
  HBN_ZIP_KIND_TEST_RESULT = 15,  // data: frames requested, frame index, acknowledgements
  HBN_ZIP_KIND_SMART_START = 16,
  HBN_ZIP_KIND_PV_LIST = 17,
  HBN_ZIP_KIND_CH_RSSI = 18,
  HBN_ZIP_KIND_NODE_RSSI = 19,
};

// Learn modes of HBN_core_zipCmdLearnStart.
enum { HBN_ZIP_LEARN_CLASSIC = 0x01, HBN_ZIP_LEARN_NWI = 0x02 };

// ---- connection

// Opens the pipes (blocks until the gateway has them open). 0, or -1 when a pipe cannot be
// opened. Idempotent.
int HBN_core_zipCmdInit();
// Closes both pipes and wakes a waiting sender. Safe when not initialised.
void HBN_core_zipCmdFinish();
// Read descriptor for the command thread's poll (-1 when not initialised).
int HBN_core_zipCmdGetFd();

// Reads and classifies one packet (command thread only). On 0, *outKind is the report kind
// (HBN_ZIP_KIND_NONE: nothing to dispatch), *outData/*outLength the report data, valid until
// the next call. -1: read failure or end of file (the packet is lost, no report).
int HBN_core_zipCmdRecv(int* outKind, int* outNodeID, const uint8_t** outData, int* outLength);

// Writes one pipe packet: the 2-byte length, then `body`. 0 or -1 ("Z/IP write error").
int HBN_core_zipCmdSendData(const uint8_t* body, int length);
// Records the completion status and logs it.
void HBN_core_zipCmdSendDone(int status);
// Completion status of the last tracked transmission.
int HBN_core_zipCmdGetStatus();
// Clears the completion status before a tracked send (untracked sends leave it alone, so an
// answer from the command thread cannot blur the result a waiting sender is about to read).
void HBN_core_zipStatusClear();

// ---- packet level

// Builds and writes one Z/IP packet to `dst`. 1 sent, 0 refused (a packet
// still outstanding, too long, not initialised, or the write failed). `untrackedMode` is HBN_ZIP_SEND_*.
int HBN_core_zipPacketSend(int dst, const uint8_t* command, int length, int secure, int untrackedMode);
// Waits for the outstanding packet's answer (bounded, see above); returns the completion status.
int HBN_core_zipPacketWait();
// Handles one received Z/IP packet (after the node ID byte): acknowledges it when asked to,
// walks its header extension and settles the outstanding packet. Returns 1 and the command to
// hand on in *outCommand/*outLength (pointing into `packet` or into the connection record), or
// 0 when nothing is handed on.
int HBN_core_zipPacketParse(int nodeID, const uint8_t* packet, int length, const uint8_t** outCommand,
                            int* outLength);
// Maps a received command to its report kind and report data (see HBN_ZIP_KIND_*). A node
// information report gets status 6 written into its first data byte, hence the mutable buffer.
// Returns the kind; *outData/*outLength are set for every kind but HBN_ZIP_KIND_NONE.
int HBN_core_zipClassify(uint8_t* command, int length, const uint8_t** outData, int* outLength);

// Next command sequence number for a network-management command (the first is 0).
int HBN_core_zipNextCmdSeq();
// Ends the transmission state of a packet that is not waited for (untracked sends).
void HBN_core_zipPacketRelease();
// Test-frame counters: start a run of `count` frames, advance the frame index, end the run.
void HBN_core_zipTestBegin(int count);
void HBN_core_zipTestNext();
void HBN_core_zipTestEnd();

// ---- command frames (destination "gw" is the gateway's node ID from the node list)

int HBN_core_zipCmdInclusionStart(int gw);
int HBN_core_zipCmdInclusionStop(int gw);
int HBN_core_zipCmdExclusionStart(int gw);
int HBN_core_zipCmdExclusionStop(int gw);
int HBN_core_zipCmdForceFailing(int nodeID);
int HBN_core_zipCmdRemoveFailed(int gw, int nodeID);
int HBN_core_zipCmdReplaceStart(int gw, int nodeID);
int HBN_core_zipCmdReplaceStop(int gw);
// mode: HBN_ZIP_LEARN_CLASSIC or HBN_ZIP_LEARN_NWI.
int HBN_core_zipCmdLearnStart(int gw, int mode);
int HBN_core_zipCmdLearnStop(int gw);
// Node data as the cloud gave it; not waited for.
int HBN_core_zipCmdSend(int nodeID, const uint8_t* data, int length, int secure);
// To node 0 (the gateway). wait != 0: wait for the acknowledgement and succeed only on it;
// wait == 0: return once sent (callable from the command thread).
int HBN_core_zipCmdGetNodeList(int wait);
int HBN_core_zipCmdGetNodeInfo(int gw, int nodeID);
// Not waited for (answers from the command thread are allowed).
int HBN_core_zipCmdSetKeys(int gw, int keys);
// Sends (length mod 16) bytes of `input`; not waited for.
int HBN_core_zipCmdSetDSK(int gw, int length, const uint8_t* input);
int HBN_core_zipCmdGetDSK(int gw);
int HBN_core_zipCmdGetGwDSK(int gw);
int HBN_core_zipCmdReset(int gw);
// Sends `count` test frames to the node, waiting for each; every answer yields one report
// of kind HBN_ZIP_KIND_TEST_RESULT. -1 when a frame could not be sent.
int HBN_core_zipCmdTestFrame(int nodeID, int count);
// 16-byte DSK entries.
int HBN_core_zipCmdPvSet(int gw, const uint8_t* dsk);
// dsk == nullptr deletes every entry.
int HBN_core_zipCmdPvDelete(int gw, const uint8_t* dsk);
int HBN_core_zipCmdPvGet(int gw, int remaining);
int HBN_core_zipCmdGetRssi(int gw, int nodeID);
