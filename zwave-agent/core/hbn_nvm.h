// Settings store: the agent's persistent Z-Wave state (per node, the command classes sent with
// security) as a fixed 7492-byte image held in memory and written through to the live file on
// every change. Also the device-identity getters over the configuration store and the
// root-file-system number.
//
// File format: 4-byte magic "HNVM" (0x4D564E48 little-endian), then 234 records of 32 bytes
// (node IDs 0..233); bit (c % 8) of byte (c / 8) of record n set = class c of node n is secure.
//
// Results: 0 success, -1 failure (logged). Paths given to the core* helpers are used as given.
#pragma once
#include <cstdint>

enum {
  HBN_NVM_MAGIC = 0x4D564E48,
  HBN_NVM_NODE_COUNT = 234,
  HBN_NVM_RECORD_SIZE = 32,
  HBN_NVM_SIZE = 4 + HBN_NVM_NODE_COUNT * HBN_NVM_RECORD_SIZE,  // 7492
};

// Live file and factory copy (unrooted; the store roots them with HBN_path).
#define HBN_NVM_LIVE_PATH "/jffs2/hbn/setting.bin"
#define HBN_NVM_FACTORY_PATH "/etc/hbn/setting.bin"

// create != 0: start from an empty image and write the live file; create == 0: load the live
// file. Opens the configuration store on success. No-op (0) when already initialised.
int HBN_nvm_initialize(int create);
void HBN_nvm_finalize();

// Reads exactly `length` bytes and checks the first little-endian word against `magic`.
int HBN_nvm_coreRead(const char* path, uint32_t magic, uint8_t* image, int length);
// Replaces `path` with the `length` bytes atomically (temporary file, fsync, rename).
int HBN_nvm_coreWrite(const char* path, const uint8_t* image, int length);
// Copies `source` over `destination` (atomically); 0 only when exactly `length` bytes copied.
int HBN_nvm_coreCopy(const char* source, const char* destination, int length);

// Factory copy over the live file, then the live file back into the image.
int HBN_nvm_restoreDefault();
// Clears the node's record, then sets class classes[i] for every i < count with flags[i] != 0;
// writes the file. Node IDs outside 0..233 are refused (-1).
int HBN_nvm_setSecureClasses(int nodeId, const uint8_t* classes, const uint8_t* flags, int count);
int HBN_nvm_clearNode(int nodeId);
int HBN_nvm_clearAll();
// Non-zero when class (commandClass mod 256) of the node is secure. Lock-free read.
int HBN_nvm_isSecureClass(int nodeId, int commandClass);
// Hands out the image and its length with the store's mutex held; release with
// HBN_nvm_releaseData. -1 for null outputs or no store.
int HBN_nvm_getData(uint8_t** image, int* length);
void HBN_nvm_releaseData();
// Replaces the whole image (length must be 7492) and writes the file.
int HBN_nvm_restore(const uint8_t* data, int length);

// 1 or 2 from the first character of /etc/rootfs_no (read once); 0 while it cannot be told
// (the file is tried again at the next call).
int HBN_nvm_getRootNo();

// Configuration-store getters. Each clears its outputs first and returns 0; texts are cut to
// the caller's buffer size (including the terminator).
int HBN_nvm_getSerial(char* serial, int size);
// "vexor" when the stored service code is empty.
int HBN_nvm_getServiceCode(char* code, int size);
int HBN_nvm_getServer(char* host, int size, int* port);
int HBN_nvm_getTls(int* tls);
int HBN_nvm_getAuth(int* enabled, char* user, int userSize, char* password, int passwordSize);
// Interval in seconds, or -1 when keep-alive is disabled.
int HBN_nvm_getKeepAlive();
