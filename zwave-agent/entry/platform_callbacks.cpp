// Platform callbacks of the Z-Wave cloud agent: console notices, reset, reboot, firmware
// hand-off to the platform updater and script requests.
#include "platform_callbacks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

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

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

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
  HBN_cmd_system("kv_reset_reboot.sh");
  return 1;
}

void HBNKV_resetComplite() {
  std::printf("KV_TX440:%s\n", "HBNKV_resetComplite");
  std::fflush(stdout);
}

int HBNKV_rebootRequest() {
  std::printf("KV_TX440:%s\n", "HBNKV_rebootRequest");
  std::fflush(stdout);
  HBN_cmd_system("reboot");
  return 0;
}

int HBNKV_writeFirmwareHandoff(const char* url, const char* checksumUrl) {
  if (url == nullptr || checksumUrl == nullptr || hasLineBreak(url) || hasLineBreak(checksumUrl)) {
    HBN_LOG(HBN_LOG_ERROR, "f/w update URL refused (line break)\n");
    return 0;
  }
  // Written under a temporary name and renamed, so the updater never reads half a file.
  const std::string conf = HBN_path("/var/kv_cloudfwd.conf");
  const std::string tmp = conf + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  bool ok = writeAll(fd, std::string(url) + "\n" + checksumUrl + "\n");
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), conf.c_str()) != 0) {
    HBN_LOG(HBN_LOG_ERROR, "f/w update configuration write fail\n");
    unlink(tmp.c_str());
    return 0;
  }
  int run = open(HBN_path("/var/kv_cloudfwd.run").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (run < 0) {
    unlink(conf.c_str());
    return 0;
  }
  close(run);
  return 1;
}

int HBNKV_firmwareUpdateRequest(const char* url, const char* checksumUrl) {
  if (url != nullptr && checksumUrl != nullptr && !hasLineBreak(url) && !hasLineBreak(checksumUrl)) {
    std::printf("KV_TX440:%s:data=%s,chksum=%s\n", "HBNKV_firmwareUpdateRequest", url, checksumUrl);
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
