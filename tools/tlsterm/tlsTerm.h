// libtlsTerm: the validity period of an X.509 certificate kept in a PEM file.
#pragma once
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// Reads the first PEM certificate of `path` (the trusted-certificate form is accepted) and
// fills `notBefore` and `notAfter` with the start and end of its validity, in UTC.
// Results: 0 both dates filled; -1 an argument is null; -2 out of memory before the file was
// read; -3 the file cannot be opened or holds no PEM certificate; -4 the start date cannot
// be converted; -5 the end date cannot be converted (reported before -4).
// Safe to call from any thread; leaves nothing on the calling thread's OpenSSL error queue.
int getTlsTerm(const char* path, struct tm* notBefore, struct tm* notAfter);

#ifdef __cplusplus
}
#endif
