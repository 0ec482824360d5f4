// Platform callbacks of the Z-Wave cloud agent: console notices, reset, reboot, firmware
// hand-off to the platform updater and script requests.
#include "platform_callbacks_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "handoff.h"
#include "hbn_log.h"
#include "hbn_os.h"
#include "hbn_path.h"
#include "script_request.h"

namespace {

const char* stateText(unsigned state) {
  static const char* const kTexts[] = {nullptr,     "startup", "idle",          "inclusion",
                                       "exclusion", "reset",   "system failure"};
  return state < sizeof kTexts / sizeof kTexts[0] ? kTexts[state] : nullptr;
}

bool hasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

}  // namespace

int HBNKV_stateChangeNotice(unsigned state) {
  if (const char* text = stateText(state))
    std::printf("KV_TX440:%s:state=%s\n", "HBNKV_stateChangeNotice", text);
  std::fflush(stdout);
  return 0;
}

void HBNKV_cloudConnectNotice(int connected) {
  std::printf("KV_TX440:%s:state=%c\n", "HBNKV_cloudConnectNotice", connected != 0 ? 'T' : 'F');
  std::fflush(stdout);
}

void HBNKV_secureRequest(int nodeId, int requestedKeys) {
  (void)nodeId;
  (void)requestedKeys;
}

int HBNKV_factoryResetRequest() {
  std::printf("KV_TX440:%s\n", "HBNKV_factoryResetRequest");
  std::fflush(stdout);
  HBN_thread_sleep(static_cast<int>(HBN_time_scaled(10000)));
  HBN_cmd_systemOutliving("kv_reset_reboot.sh", 0);  // resets and restarts the box: outlives us
  return 1;
}

void HBNKV_resetComplite() {
  std::printf("KV_TX440:%s\n", "HBNKV_resetComplite");
  std::fflush(stdout);
}

int HBNKV_rebootRequest() {
  std::printf("KV_TX440:%s\n", "HBNKV_rebootRequest");
  std::fflush(stdout);
  HBN_cmd_systemOutliving("reboot", 0);
  return 0;
}

int HBNKV_writeFirmwareHandoff(const char* url, const char* checksumUrl) {
  return hbn::writeUpdateHandoff(__func__, url, checksumUrl, hbn::kFirmwareHandoff);
}

int HBNKV_firmwareUpdateRequest(const char* url, const char* checksumUrl) {
  if (url != nullptr && checksumUrl != nullptr && !hasLineBreak(url) && !hasLineBreak(checksumUrl)) {
    HBN_console_print("KV_TX440:%s:data=%s,chksum=%s\n", "HBNKV_firmwareUpdateRequest", url, checksumUrl);
    std::fflush(stdout);
  }
  return HBNKV_writeFirmwareHandoff(url, checksumUrl);
}

int HBNKV_execScript(int number) {
  if (number < 0 || number > 9) return -1;
  return execScriptRequest(SCRIPT_KIND_CLOUD, number);
}

KV_api_interface_t HBNKV_interface() {
  KV_api_interface_t t{};
  t.stateChangeNotice = HBNKV_stateChangeNotice;
  t.cloudConnectNotice = HBNKV_cloudConnectNotice;
  t.secureRequest = HBNKV_secureRequest;
  t.factoryResetRequest = HBNKV_factoryResetRequest;
  t.resetComplite = HBNKV_resetComplite;
  t.rebootRequest = HBNKV_rebootRequest;
  t.firmwareUpdateRequest = HBNKV_firmwareUpdateRequest;
  t.execScript = HBNKV_execScript;
  return t;
}
