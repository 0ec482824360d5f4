// Stand-in for the router's configuration store. Values are addressed by numeric id; each id
// has a kind (byte, 16-bit, 32-bit, IPv4, text of a fixed buffer size) and a factory default.
// The store file lives at $HBN_ROOT/var/apmib/store.txt (readable text, one "id=value" a line).
//
// Buffer contract: the caller's buffer must hold the id's full size (1, 2, 4, 4 bytes, or the
// text size including its NUL); nothing larger is ever written. Results follow the platform
// library: 1 success, 0 failure.
//
// Sizes: text ids take a 256-byte buffer (255 characters), except 182, 183 (login user and
// password) and 1409 (administrator password), which take 32 bytes. Flags and codes are
// bytes; ports 1422, 7105, 7119, 7133 and the delay bounds 7263, 7264 are 16-bit; counts,
// periods and times are 32-bit; addresses 4 bytes. The full table is apmib_ids.cpp.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Loads the store file into the process's working copy. Idempotent.
int apmib_init(void);
// Copies the current value of `id` into `value`; an id without a value (neither stored nor
// defaulted) leaves `value` unchanged and returns 0. Unknown ids: 0.
int apmib_get(int id, void* value);
// Copies the factory default of `id`; 0 and `value` unchanged when the id has none.
int apmib_getDef(int id, void* value);
// Replaces the working copy's value. Text longer than the id's size is cut to fit (the
// caller detects it by reading back). Unknown ids: 0.
int apmib_set(int id, void* value);
// 4 commits the working copy to the store file atomically (write, fsync, rename). 1 or 0.
int apmib_update(int type);

#ifdef __cplusplus
}
#endif
