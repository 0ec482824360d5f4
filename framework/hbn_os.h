// Queue, event and thread managers and the framework's start and stop.
// Results: 0 success, -1 failure (logged in the short form), 1 for a timed-out receive.
#pragma once
#include <cstdint>

// Sets the log facility to LOG_LOCAL5, then initialises the event, queue and thread managers.
int HBN_os_initialize();
// Finalises the thread, queue and event managers; each refuses while it has entries in use.
int HBN_os_finalize();

// ---- queue manager: up to 8 queues, each a packet-mode pipe of fixed records
struct HBN_queue_t;

// The record written to the pipe: sequence, four 32-bit words and a buffer address.
struct HBN_queue_record_t {
  uint32_t sequence;
  uint32_t word1;  // kind
  uint32_t word2;
  uint32_t word3;
  uint32_t word4;
  uintptr_t word5;  // address of a buffer from the receiver's pool, or 0
};
static_assert(sizeof(void*) != 4 || sizeof(HBN_queue_record_t) == 24,
              "the queue record is 24 bytes on a 32-bit target");

int HBN_queue_initialize();
int HBN_queue_finalize();
int HBN_queue_create(HBN_queue_t** handle);
// Closes both ends and marks them -1, so a repeated delete closes nothing.
void HBN_queue_delete(HBN_queue_t* handle);
// Blocks while the pipe is full (unless the calling thread is marked with HBN_queue_setNoWait).
int HBN_queue_send(HBN_queue_t* handle, uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                   uintptr_t word5);
// Waits at most `timeoutMs` for room (0: not at all; < 0: for ever). 0 sent, 1 still full
// (nothing sent, nothing logged), -1 error.
int HBN_queue_sendTimeout(HBN_queue_t* handle, int timeoutMs, uint32_t word1, uint32_t word2, uint32_t word3,
                          uint32_t word4, uintptr_t word5);
int HBN_queue_receive(HBN_queue_t* handle, uint32_t* word1, uint32_t* word2, uint32_t* word3, uint32_t* word4,
                      uintptr_t* word5);
// timeoutMs > 0: 1 when nothing arrived in time (outputs 0); <= 0 blocks.
int HBN_queue_receiveTimeout(HBN_queue_t* handle, int timeoutMs, uint32_t* word1, uint32_t* word2,
                             uint32_t* word3, uint32_t* word4, uintptr_t* word5);
int HBN_queue_getFd(HBN_queue_t* handle);
// Marks the calling thread (1) as one that must never wait on a full queue, such as a
// library's callback thread, or clears the mark (0). While marked, every send from this thread
// gives up at once when the queue is full: -1 from HBN_queue_send, 1 from HBN_queue_sendTimeout.
void HBN_queue_setNoWait(int on);
// 1 when the calling thread is marked, else 0.
int HBN_queue_isNoWait();

// ---- thread manager: up to 6 worker threads
struct HBN_thread_t;
using HBN_thread_entry_t = void (*)(HBN_thread_t* self, uintptr_t argument);

int HBN_thread_initialize();
int HBN_thread_finalize();
// Returns only after the new thread has started running and carries `name` (cut to the
// kernel's 15 characters), so ps -L, top -H and gdb tell the threads apart.
int HBN_thread_create(HBN_thread_t** handle, const char* name, int stackSize, HBN_thread_entry_t entry,
                      uintptr_t argument);
// Sets the stop flag and joins the thread; the slot is free afterwards. A slot without a
// running thread is reported and left alone; a thread stopping itself is detached instead.
void HBN_thread_stop(HBN_thread_t* handle);
int HBN_thread_isStopRequested(HBN_thread_t* handle);
void HBN_thread_sleep(int milliseconds);

// ---- event manager: up to 4 groups of 16 flags
struct HBN_event_t;

int HBN_event_initialize();
int HBN_event_finalize();
int HBN_event_create(HBN_event_t** handle, uint16_t mask);
// Frees the group; a thread blocked in a wait on it returns -1.
int HBN_event_delete(HBN_event_t* handle);
int HBN_event_set(HBN_event_t* handle, uint16_t flags);
int HBN_event_clear(HBN_event_t* handle, uint16_t flags);
int HBN_event_get(HBN_event_t* handle, uint16_t* flags);
int HBN_event_waitAny(HBN_event_t* handle, uint16_t* flags);
int HBN_event_waitAll(HBN_event_t* handle);
