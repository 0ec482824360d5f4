// Building blocks of the loaders: the write switch, the key-list check, the value readers,
// and the debug aids.
#include "load_common_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "apmib.h"
#include "configtool.h"

namespace configtool {

const char kMsgOutOfRange[] = "範囲外の値が設定されています";
const char kMsgNotAddress[] = "値がIPアドレスではありません";
const char kMsgNotMask[] = "値がサブネットマスクではありません";
const char kMsgNotAddressList[] = "値がIPアドレス/サブネット長ではありません";
const char kMsgUnknownKey[] = "不明なキーです";
const char kMsgMissingKey[] = "キーがありません";

namespace {
std::atomic<bool> gWritesOn{false};

bool hasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// Copies `text` with its NUL into `out`; false when it does not fit.
bool copyOut(const std::string& text, char* out, size_t outSize) {
  if (out == nullptr) return true;
  if (text.size() + 1 > outSize) return false;
  memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

int readWord(json_object* object, const char* key, unsigned char* out, const char* one, const char* zero) {
  std::string text;
  if (readValue(object, key, &text) != 0) return 1;
  if (text == one) {
    *out = 1;
    return 0;
  }
  *out = 0;
  return text == zero ? 0 : -1;
}
}  // namespace

bool writesEnabled() { return gWritesOn.load(); }

int readValue(json_object* object, const char* key, std::string* text) {
  json_object* value = nullptr;
  if (object == nullptr || key == nullptr || !json_object_is_type(object, json_type_object)) return 1;
  if (!json_object_object_get_ex(object, key, &value) || value == nullptr) return 1;
  if (json_object_is_type(value, json_type_string)) {
    text->assign(json_object_get_string(value), static_cast<size_t>(json_object_get_string_len(value)));
  } else {
    const char* shown = json_object_get_string(value);
    text->assign(shown ? shown : "");
  }
  return 0;
}

bool parseAddress(const std::string& text, in_addr* address) {
  if (text.empty() || text.size() > kMaxAddressText || hasNul(text)) return false;
  // Four dotted decimal parts only: the shorthand forms inet_aton also takes ("1.2.3",
  // "10", hexadecimal, octal) would store an address nobody wrote.
  in_addr parsed;
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  if (address != nullptr) *address = parsed;
  return true;
}

bool checkAddressEntry(const std::string& entry) {
  size_t slash = entry.find('/');
  if (slash == std::string::npos) return false;
  std::string length = entry.substr(slash + 1);
  if (!parseAddress(entry.substr(0, slash), nullptr)) return false;
  if (length.size() > kMaxAddressText || hasNul(length)) return false;
  int bits = atoi(length.c_str());
  return bits >= 0 && bits <= 32;
}

}  // namespace configtool

using configtool::readValue;

extern "C" {

void configTool_comLoadJson_apmibSetControl(int on) { configtool::gWritesOn.store(on != 0); }

int configTool_comLoadJson_apmibSet(int id, void* value) {
  if (!configtool::gWritesOn.load()) return 0;
  return apmib_set(id, value);
}

int configTool_comLoadJson_checkKeyList(json_object* object, int count,
                                        const char (*names)[CONFIGTOOL_KEY_SIZE],
                                        configTool_comLoadJson_report_t report, int group) {
  if (object == nullptr || !json_object_is_type(object, json_type_object)) return 0;
  int result = 0;
  json_object_object_foreach(object, key, value) {
    (void)value;
    bool known = false;
    for (int i = 0; i < count && !known; ++i) known = strncmp(key, names[i], CONFIGTOOL_KEY_SIZE) == 0;
    if (known) continue;
    if (report != nullptr) report(key, group);
    result = -1;
  }
  return result;
}

int configTool_comLoadJson_enableDisable(json_object* object, const char* key, unsigned char* out) {
  return configtool::readWord(object, key, out, "enabled", "disabled");
}

int configTool_comLoadJson_acceptReject(json_object* object, const char* key, unsigned char* out) {
  return configtool::readWord(object, key, out, "accept", "reject");
}

int configTool_comLoadJson_ipaddr(json_object* object, const char* key, struct in_addr* address, char* text,
                                  size_t textSize) {
  std::string value;
  if (readValue(object, key, &value) != 0) return 1;
  if (value.empty()) return configtool::copyOut(value, text, textSize) ? 0 : -1;
  in_addr parsed;
  if (!configtool::parseAddress(value, &parsed)) return -1;
  if (!configtool::copyOut(value, text, textSize)) return -1;
  if (address != nullptr) *address = parsed;
  return 0;
}

int configTool_comLoadJson_ipaddrSubnet(json_object* object, const char* key, char* text, size_t textSize) {
  std::string value;
  if (readValue(object, key, &value) != 0) return 1;
  if (!value.empty() && !configtool::checkAddressEntry(value)) return -1;
  return configtool::copyOut(value, text, textSize) ? 0 : -1;
}

int configTool_comLoadJson_multiIpaddrSubnet(json_object* object, const char* key, char* text,
                                             size_t textSize) {
  std::string value;
  if (readValue(object, key, &value) != 0) return 1;
  if (!value.empty()) {
    if (value.size() > configtool::kMaxText) return -1;
    size_t start = 0;
    int entries = 0;
    for (;;) {
      size_t comma = value.find(',', start);
      if (++entries > configtool::kMaxListEntries) return -1;
      if (!configtool::checkAddressEntry(value.substr(start, comma - start))) return -1;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return configtool::copyOut(value, text, textSize) ? 0 : -1;
}

void configTool_comLoadJson_dumpKeys(json_object* object) {
  if (object == nullptr || !json_object_is_type(object, json_type_object)) return;
  json_object_object_foreach(object, key, value) {
    (void)value;
    printf("----Key=[%s]\n", key);
  }
}

void configTool_comLoadJson_dbgApmibInit(void) { printf("@DBG_APMIB_INIT\n"); }

void configTool_comLoadJson_dbgApmibGet(const char* name, int id, void* out) {
  printf("@DBG_APMIB_GET:%s(%d)\n", name ? name : "", id);
  if (out != nullptr) static_cast<unsigned char*>(out)[0] = 0;
}

void configTool_comLoadJson_dbgApmibUpdate(int id) { printf("@DBG_APMIB_UPDATE(%d)\n", id); }

void configTool_comLoadJson_dbgApmibSet(const char* name, int id, const void* value, int kind) {
  if (!configtool::gWritesOn.load()) return;
  printf("@DBG_APMIB_SET:%s(%d),", name ? name : "", id);
  if (value == nullptr) return;
  switch (kind) {
    case 0:
      printf("%hhu\n", *static_cast<const unsigned char*>(value));
      break;
    case 1: {
      unsigned short number;
      memcpy(&number, value, sizeof number);
      printf("%hu\n", number);
      break;
    }
    case 2:
      printf("%s\n", static_cast<const char*>(value));
      break;
    case 6: {
      in_addr address;
      memcpy(&address, value, sizeof address);
      printf("%s\n", inet_ntoa(address));
      break;
    }
    case 7: {
      unsigned int number;
      memcpy(&number, value, sizeof number);
      printf("%u\n", number);
      break;
    }
    default:
      break;
  }
}

}  // extern "C"
