// Core message thread: placeholder until the real module lands.
#include "hbn_core_thread.h"

int HBN_core_threadInit(HBN_buf_t*, HBN_queue_t*, HBN_core_state_t*) { return -1; }
void HBN_core_threadFinish() {}
void HBN_core_threadMsg(HBN_thread_t*, uintptr_t) {}
int HBN_core_threadModeChange(int, int) { return -1; }
void HBN_core_threadBind(HBN_buf_t*, HBN_queue_t*, HBN_core_state_t*) {}
