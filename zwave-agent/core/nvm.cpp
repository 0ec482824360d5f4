// Placeholder bodies; replaced by the real module.
#include "hbn_nvm.h"

int HBN_nvm_initialize(int create) {
  (void)create;
  return -1;
}
void HBN_nvm_finalize() {}
int HBN_nvm_coreRead(const char* path, uint32_t magic, uint8_t* image, int length) {
  (void)path;
  (void)magic;
  (void)image;
  (void)length;
  return -1;
}
int HBN_nvm_coreWrite(const char* path, const uint8_t* image, int length) {
  (void)path;
  (void)image;
  (void)length;
  return -1;
}
int HBN_nvm_coreCopy(const char* source, const char* destination, int length) {
  (void)source;
  (void)destination;
  (void)length;
  return -1;
}
int HBN_nvm_restoreDefault() { return -1; }
int HBN_nvm_setSecureClasses(int nodeId, const uint8_t* classes, const uint8_t* flags, int count) {
  (void)nodeId;
  (void)classes;
  (void)flags;
  (void)count;
  return -1;
}
int HBN_nvm_clearNode(int nodeId) {
  (void)nodeId;
  return -1;
}
int HBN_nvm_clearAll() { return -1; }
int HBN_nvm_isSecureClass(int nodeId, int commandClass) {
  (void)nodeId;
  (void)commandClass;
  return -1;
}
int HBN_nvm_getData(uint8_t** image, int* length) {
  (void)image;
  (void)length;
  return -1;
}
void HBN_nvm_releaseData() {}
int HBN_nvm_restore(const uint8_t* data, int length) {
  (void)data;
  (void)length;
  return -1;
}
int HBN_nvm_getRootNo() { return -1; }
int HBN_nvm_getSerial(char* serial, int size) {
  (void)serial;
  (void)size;
  return -1;
}
int HBN_nvm_getServiceCode(char* code, int size) {
  (void)code;
  (void)size;
  return -1;
}
int HBN_nvm_getServer(char* host, int size, int* port) {
  (void)host;
  (void)size;
  (void)port;
  return -1;
}
int HBN_nvm_getTls(int* tls) {
  (void)tls;
  return -1;
}
int HBN_nvm_getAuth(int* enabled, char* user, int userSize, char* password, int passwordSize) {
  (void)enabled;
  (void)user;
  (void)userSize;
  (void)password;
  (void)passwordSize;
  return -1;
}
int HBN_nvm_getKeepAlive() { return -1; }
