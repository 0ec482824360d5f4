#include "hbn_log.h"
#pragma GCC diagnostic ignored "-Wunused-parameter"

void HBN_log_setFacility(int facility) { (void)0; }
void HBN_log_setDebugToSyslog(bool on) { (void)0; }
void HBN_log_print(int level, const char* format, ...) { (void)0; }
void HBN_log_printAt(int level, const char* func, int line, const char* format, ...) { (void)0; }
void HBN_log_dump(const char* data, size_t length) { (void)0; }
void HBN_util_getBuildVersion(char* dest) { (void)0; }
void HBN_log_setSyslogHook(HBN_log_syslogHook_t hook) { (void)0; }
