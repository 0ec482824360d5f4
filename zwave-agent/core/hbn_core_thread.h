// The core's two worker threads and the parsers of the gateway's reports.
//
// "core-msg" (HBN_core_threadMsg) executes the core message queue one element at a time
// against the Z/IP gateway and owns the daily version report and the keep-alive timer.
// "core-cmd" (HBN_core_threadCmd) is the only reader of the gateway pipe: it dispatches every
// received report to one of the parsers below, which update the shared state, the settings
// store and tell the cloud.
//
// Results: 0 success, -1 failure.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "hbn_node_info.h"

struct HBN_buf_t;
struct HBN_queue_t;
struct HBN_thread_t;
struct HBN_core_state_t;  // the core's shared state (mode, identity, node list, mutex)

// Core modes (the shared state's mode word).
enum {
  HBN_CORE_MODE_NORMAL = 0,
  HBN_CORE_MODE_INCLUSION = 1,
  HBN_CORE_MODE_EXCLUSION = 2,
  HBN_CORE_MODE_REPLACE = 3,
  HBN_CORE_MODE_LEARN_CLASSIC = 4,
  HBN_CORE_MODE_LEARN_NWI = 5,
  HBN_CORE_MODE_STARTING = 6,
};

// Starts the Z/IP transport, the IR handler, "core-msg" and "core-cmd", then asks the gateway
// for its node list and waits until it has been stored. The wait is bounded by
// HBN_CORE_FIRST_NODE_LIST_MS (scaled with HBN_time_scaled); a gateway that does not deliver
// the list in time makes the start fail. Called by HBN_core_initialize with its pool, queue
// and shared state, which must outlive HBN_core_threadFinish. 0 or -1 (everything undone).
int HBN_core_threadInit(HBN_buf_t* pool, HBN_queue_t* queue, HBN_core_state_t* state);
// Stops both threads and the transport. Safe to call when not started.
void HBN_core_threadFinish();

enum { HBN_CORE_FIRST_NODE_LIST_MS = 10000 };

// Thread bodies (started by HBN_core_threadInit).
void HBN_core_threadMsg(HBN_thread_t* self, uintptr_t argument);
void HBN_core_threadCmd(HBN_thread_t* self, uintptr_t argument);

// Executes a queued mode request (runs on "core-msg"): leaves the current mode, enters the
// target and reports the result to the cloud. 0 done or nothing to do, -1 failed (reported).
int HBN_core_threadModeChange(int mode, int nodeID);

// What the two threads share (one per process, owned by the message-thread module). Pool,
// queue and state are set before the threads start; the words the threads share are atomic.
struct HBN_core_threadShared_t {
  HBN_buf_t* pool = nullptr;
  HBN_queue_t* queue = nullptr;
  HBN_core_state_t* state = nullptr;
  std::atomic<bool> msgRun{false};
  std::atomic<bool> cmdRun{false};
  std::atomic<bool> zipDown{false};                 // the gateway closed its pipe: the Z-Wave side is gone
  std::atomic<int> keepAliveSeconds{-1};            // -1 or 0: no keep-alive
  std::atomic<int> pendingKey{0};                   // key of the last granted-keys request
  std::atomic<bool> sendConnectedAfterList{false};  // set by a successful learn
  std::atomic<int> pvCount{0};                      // provisioning entries collected so far
  int wakeFd[2] = {-1, -1};                         // wakes the command thread's poll
  // First-node-list signal: a binary semaphore.
  std::mutex firstListMutex;
  std::condition_variable firstListCond;
  bool firstListAvailable = true;
};
HBN_core_threadShared_t& HBN_core_threadShared();
// Releases the first-node-list signal (the command thread, once a node list is stored).
void HBN_core_threadFirstListGive();

// Called by a parser that ends the operation of mode `modeA` or `modeB`. Returns true when the
// caller reports the end itself; false when the start of that operation is still being
// confirmed by the message thread: the mode is then set to normal here and the message thread
// sends the mode-0 report (with `notify`) right after its report of the start.
bool HBN_core_threadModeEnded(int modeA, int modeB, int notify);

// Binds the parsers to a pool, queue and shared state without starting any thread. For the
// parser unit tests and the fuzz harness; HBN_core_threadInit does the same for the real run.
void HBN_core_threadBind(HBN_buf_t* pool, HBN_queue_t* queue, HBN_core_state_t* state);

// Report parsers (run on "core-cmd"). Each takes the report data and its length, checks the
// length before reading any byte, and ignores a report that does not fit its layout.
void HBN_core_threadParseNodeList(const uint8_t* data, int length);
void HBN_core_threadParseInclusion(const uint8_t* data, int length);
void HBN_core_threadParseExclusion(const uint8_t* data, int length);
void HBN_core_threadParseLearn(const uint8_t* data, int length);
void HBN_core_threadParseRemove(const uint8_t* data, int length);
void HBN_core_threadParseReplace(const uint8_t* data, int length);
void HBN_core_threadParseUpdate(const uint8_t* data, int length);
void HBN_core_threadParseSecureKind(const uint8_t* data, int length);
void HBN_core_threadParseSecureDSK(const uint8_t* data, int length);
void HBN_core_threadParseGetDSK(const uint8_t* data, int length);
void HBN_core_threadParseGetDSK_2(const uint8_t* data, int length);
void HBN_core_threadParseReset(const uint8_t* data, int length);
void HBN_core_threadSmartStart(const uint8_t* data, int length);
void HBN_core_threadPvList(const uint8_t* data, int length);
void HBN_core_threadChRssi(const uint8_t* data, int length);
void HBN_core_threadNodeRssi(const uint8_t* data, int length);

// Builds a node information record from a gateway node report (status 6 or 9, non-zero node
// ID, at least 4 bytes). Over-long names, device IDs and class lists are cut to the record's
// capacities; a block that runs past the end of the report ends the walk. 0 built, -1 refused.
int HBN_core_threadParseBaseInfo(const uint8_t* data, int length, HBN_node_info_t* record);

// Dispatches one received report by its kind (the command thread's loop body, exposed so the
// fuzz harness can drive the dispatch as well).
void HBN_core_threadDispatch(int kind, int nodeID, const uint8_t* data, int length);
