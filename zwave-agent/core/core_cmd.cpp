// Core command thread and report parsers: placeholder until the real module lands.
#include "hbn_core_thread.h"

void HBN_core_threadCmd(HBN_thread_t*, uintptr_t) {}
void HBN_core_threadParseNodeList(const uint8_t*, int) {}
void HBN_core_threadParseInclusion(const uint8_t*, int) {}
void HBN_core_threadParseExclusion(const uint8_t*, int) {}
void HBN_core_threadParseLearn(const uint8_t*, int) {}
void HBN_core_threadParseRemove(const uint8_t*, int) {}
void HBN_core_threadParseReplace(const uint8_t*, int) {}
void HBN_core_threadParseUpdate(const uint8_t*, int) {}
void HBN_core_threadParseSecureKind(const uint8_t*, int) {}
void HBN_core_threadParseSecureDSK(const uint8_t*, int) {}
void HBN_core_threadParseGetDSK(const uint8_t*, int) {}
void HBN_core_threadParseGetDSK_2(const uint8_t*, int) {}
void HBN_core_threadParseReset(const uint8_t*, int) {}
void HBN_core_threadSmartStart(const uint8_t*, int) {}
void HBN_core_threadPvList(const uint8_t*, int) {}
void HBN_core_threadChRssi(const uint8_t*, int) {}
void HBN_core_threadNodeRssi(const uint8_t*, int) {}
int HBN_core_threadParseBaseInfo(const uint8_t*, int, HBN_node_info_t*) { return -1; }
void HBN_core_threadDispatch(int, int, const uint8_t*, int) {}
