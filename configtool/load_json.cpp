// The two loaders: a validation pass that only checks and reports, then (only when nothing
// was wrong) an apply pass that writes the store, and a commit. Problems go into the error
// document, a JSON object written member by member as they are found.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "apmib.h"
#include "configtool.h"
#include "hbn_file.h"
#include "load_common_internal.h"
#include "store_io_internal.h"

namespace {

using namespace configtool;

// Inputs larger than this cannot be a settings document (every value is bounded); they are
// refused like any other unreadable input instead of being parsed.
constexpr long kMaxInputBytes = 1024 * 1024;
// The whole error document of a load whose valid settings could not be committed.
const char kCommitFailedLine[] = "{\"setting_error\":\"設定を保存できませんでした\"}\n";
const char kNotJsonLine[] = "{\"setting_error\":\"JSON形式になっていません\"}\n";

enum class Check {
  Choice,        // one of `words`, stored as its code
  OnOff,         // "enabled" 1 / "disabled" 0
  AcceptReject,  // "accept" 1 / "reject" 0
  Decimal,       // strtol to the end, within [min, max]
  Text,          // at most `maxLength` bytes
  TopicLevel,    // as Text, without "+", "#" or "/": the agents put it into MQTT topics as one level
  Address,       // empty or a dotted-quad address
  Mask,          // as Address, own message
  AddressList,   // empty or a list of address/length entries
  Range,         // "start-end", both addresses
};

enum class Store {
  Byte,
  Int32,
  U16,
  Address,         // 4 bytes, only for non-empty text
  Text,            // the text, also when empty
  TextIfNotEmpty,  // the text, only when non-empty
  TextThenU16,     // the text to the first id, a 16-bit value to the others
  TextThenInt32,   // the text to the first id, a 32-bit value to the others
  Range,           // start to the first id, end to the second
  ProtocolBytes,   // two bytes from the code (bit 1: first id, bit 0: second id)
};

struct Choice {
  const char* word;
  unsigned char code;
};

struct KeySpec {
  const char* key;
  Check check;
  Store store;
  std::vector<Choice> choices;
  long min;
  long max;
  std::vector<int> ids;
  bool required;
};

struct GroupSpec {
  const char* name;  // nullptr: the document's top level
  int bit;
  std::vector<KeySpec> keys;
};

struct DocumentSpec {
  const char* top;                // "setting" / "setting_server"
  const char* errorTop;           // "setting_error" / "setting_server_error"
  std::vector<GroupSpec> groups;  // top level first, then the groups in bit order
};

KeySpec onOff(const char* key, std::vector<int> ids, bool required = false) {
  return {key, Check::OnOff, Store::Byte, {}, 0, 0, std::move(ids), required};
}
KeySpec acceptReject(const char* key, std::vector<int> ids) {
  return {key, Check::AcceptReject, Store::Byte, {}, 0, 0, std::move(ids), false};
}
KeySpec choice(const char* key, std::vector<Choice> words, std::vector<int> ids) {
  return {key, Check::Choice, Store::Byte, std::move(words), 0, 0, std::move(ids), false};
}
KeySpec decimal(const char* key, long min, long max, std::vector<int> ids, Store store = Store::Int32) {
  return {key, Check::Decimal, store, {}, min, max, std::move(ids), false};
}
KeySpec text(const char* key, long maxLength, std::vector<int> ids) {
  return {key, Check::Text, Store::Text, {}, 0, maxLength, std::move(ids), false};
}
KeySpec topicLevel(const char* key, long maxLength, std::vector<int> ids) {
  return {key, Check::TopicLevel, Store::Text, {}, 0, maxLength, std::move(ids), false};
}
KeySpec address(const char* key, std::vector<int> ids, Check check = Check::Address,
                Store store = Store::Address) {
  return {key, check, store, {}, 0, 0, std::move(ids), false};
}

// The key tables, in the order the keys are handled and written.
const DocumentSpec& settingsSpec() {
  static const DocumentSpec spec = {
      "setting",
      "setting_error",
      {
          {nullptr,
           1,
           {choice("mode", {{"plugin", 0}, {"mobile", 1}, {"non-mobile", 2}}, {7255}),
            text("NTP_address", 255, {155})}},
          {"firewall_application_filter",
           2,
           {onOff("IGMP_proxy", {283, 7181, 7201, 7218}), acceptReject("PING_reply", {195, 7182, 7202, 7219}),
            acceptReject("SSH_access", {196, 7183, 7203, 7220}),
            acceptReject("WebUI_access", {194, 7184, 7204, 7221}),
            acceptReject("VPN_pass_thru(IPsec)", {245, 7185, 7205, 7222}),
            acceptReject("VPN_pass_thru(PPTP)", {246, 7186, 7206, 7223}),
            acceptReject("VPN_pass_thru(L2TP)", {247, 7187, 7207, 7224}),
            acceptReject("VPN_pass_thru(IPv6)", {360, 7188, 7208, 7225})}},
          {"upside",
           4,
           {choice("DHCP_mode", {{"client", 0}, {"staticIP", 1}}, {7209}), address("IP_address", {101, 7210}),
            address("subnet_mask", {102, 7211}, Check::Mask), address("default_gateway", {103, 7212}),
            choice("DNS_mode", {{"auto", 0}, {"static", 1}}, {7176, 7196, 7213}),
            address("DNS_address1", {7177, 7197, 7214}), address("DNS_address2", {7178, 7198, 7215}),
            address("DNS_address3", {7179, 7199, 7216})}},
          {"downside",
           8,
           // The codes of "client" and "staticIP" are those the settings dump reads back.
           {choice("DHCP_mode", {{"client", 1}, {"staticIP", 0}, {"server", 2}}, {173}),
            address("IP_address", {170, 7253}), address("subnet_mask", {171, 7254}, Check::Mask),
            address("DHCP_range", {174, 175}, Check::Range, Store::Range), address("default_gateway", {172}),
            address("DNS_address", {176})}},
          {"vpn",
           16,
           {{"protocol",
             Check::Choice,
             Store::ProtocolBytes,
             {{"IPsec", 1}, {"L2TPv3", 2}, {"L2TPv3overIPsec", 3}, {"off", 0}},
             0,
             0,
             {7226, 7237},
             false},
            onOff("vpn_func", {7256}),
            choice("tunnel", {{"split", 0}, {"full", 1}}, {7257})}},
          {"ipsec_conf",
           32,
           {choice("keyexchange", {{"ikev1", 0}, {"ikev2", 1}}, {7258}),
            text("pre_shared_key", kMaxText, {7240}),
            choice("crypt_algorithm",
                   {{"aes256-cbc", 0}, {"aes192-cbc", 1}, {"aes-cbc", 2}, {"3des-cbc", 3}, {"des-cbc", 4}},
                   {7245}),
            choice("auth_algorithm", {{"sha-hmac", 0}, {"sha256-hmac", 1}, {"md5-hmac", 2}}, {7244}),
            choice("dh_group", {{"768", 0}, {"1024", 1}, {"1536", 2}, {"2048", 3}}, {7248}),
            decimal("lifetime", 1, 86400, {7247}),
            address("local_lan_ip", {7259}, Check::AddressList, Store::TextIfNotEmpty),
            text("local_id", kMaxText, {7241}), text("remote_wan_ip", kMaxText, {7239}),
            address("remote_lan_ip", {7243}, Check::AddressList, Store::TextIfNotEmpty),
            text("remote_id", kMaxText, {7242}), onOff("keep_alive_func", {7249}),
            decimal("keep_alive_interval", 1, 3600, {7250})}},
          {"l2tpd_conf",
           64,
           {onOff("keep_alive_func", {7234}), decimal("keep_alive_interval", 1, 3600, {7235}),
            text("remote_wan_ip", kMaxText, {7227}),
            address("remote_lan_ip", {7231}, Check::Address, Store::Text),
            address("local_lan_ip", {7232}, Check::Address, Store::TextIfNotEmpty),
            text("remote_end_id", kMaxText, {7230}), text("hostname", kMaxText, {7228})}},
          {"plugin",
           128,
           {address("pppoe_server_address", {7260}), address("pppoe_client_address", {7261}),
            address("DNS_option", {7262})}},
      }};
  return spec;
}

const DocumentSpec& serverSpec() {
  static const DocumentSpec spec = {
      "setting_server",
      "setting_server_error",
      {
          {nullptr,
           1,
           // The two delay bounds are 16-bit values in the store.
           {decimal("boot_delay_max", 0, 65535, {7263}, Store::U16),
            decimal("info_delay_max", 0, 65535, {7264}, Store::U16),
            text("server_config_revision", 255, {7266})}},
          {"server",
           2,
           {topicLevel("service_code", 255, {1411, 7103, 7117, 7131}),
            text("address", 255, {1412, 1421, 7104, 7118, 7132}),
            decimal("port", 0, 65535, {1413, 1422, 7105, 7119, 7133}, Store::TextThenU16),
            onOff("TLS_enable", {1414, 1423, 7106, 7120, 7134}),
            onOff("AUTH_enable", {1415, 1424, 7107, 7121, 7135}),
            text("AUTH_user", 255, {1416, 1425, 7108, 7122, 7136}),
            text("AUTH_pass", 255, {1417, 1426, 7109, 7123, 7137})}},
          {"server_use",
           4,
           {onOff("server_enable", {7101, 7115, 7129}), onOff("keep_alive_enable", {1418, 7110, 7124, 7138}),
            decimal("keep_alive_interval", 1, 3600, {1419, 7111, 7125, 7139}, Store::TextThenInt32),
            onOff("net_chk_enable", {1430, 7112, 7126, 7140}),
            decimal("net_chk_err_time", 1, 60, {7113, 7127, 7141}),
            onOff("net_opt_enable", {7114, 7128, 7142})}},
          {"fota", 8, {onOff("ota_function", {7265}, true)}},
          {"protocol_check", 16, {onOff("protocol_enable", {7267}, true)}},
      }};
  return spec;
}

// ---- error document ----

struct ErrorDocument {
  FILE* file = nullptr;
  const DocumentSpec* spec = nullptr;
  unsigned bits = 0;     // groups that have a member
  bool started = false;  // the opening has been written
};

// Value buffers handed to apmib_set: larger than any value, zeroed, so a store id whose
// kind is wider than what is written never reads past the buffer.
struct ValueBuffer {
  alignas(8) unsigned char bytes[kValueBufferSize] = {};
};

struct SavedValue {
  int id;
  ValueBuffer before;
};

// One load at a time per process: the report callback of the key-list check has no
// context argument, so the running load is reached through this record.
struct LoadState {
  ErrorDocument doc;
  bool applyFailed = false;
  std::vector<SavedValue> saved;  // previous values of the ids written by the apply pass
};

std::mutex gLoadLock;
LoadState* gLoad = nullptr;

const char* groupName(const DocumentSpec& spec, int bit) {
  for (const GroupSpec& g : spec.groups)
    if (g.bit == bit) return g.name;
  return "";
}

void reportError(int group, const char* key, const char* message) {
  ErrorDocument& doc = gLoad->doc;
  FILE* out = doc.file;
  unsigned bit = static_cast<unsigned>(group);
  if (!doc.started) {
    fprintf(out, "{\"%s\":{", doc.spec->errorTop);
    doc.started = true;
  }
  if (bit != 1 && (doc.bits & bit) == 0) {
    if ((doc.bits & (bit - 1)) != 0) fputc(',', out);
    fprintf(out, "\"%s\":{", groupName(*doc.spec, group));
  } else if ((doc.bits & bit) != 0) {
    fputc(',', out);
  }
  writeJsonString(out, key, strlen(key));
  fputc(':', out);
  writeJsonString(out, message, strlen(message));
  doc.bits |= bit;
}

void closeGroup(int group) {
  if ((gLoad->doc.bits & static_cast<unsigned>(group)) != 0) fputc('}', gLoad->doc.file);
}

void reportUnknownKey(const char* key, int group) { reportError(group, key, kMsgUnknownKey); }

// ---- store writes ----

void writeStore(int id, const void* value, size_t size) {
  ValueBuffer buffer;
  memcpy(buffer.bytes, value, size < sizeof buffer.bytes ? size : sizeof buffer.bytes);
  if (writesEnabled()) {
    SavedValue saved;
    saved.id = id;
    apmib_get(id, saved.before.bytes);
    gLoad->saved.push_back(saved);
  }
  configTool_comLoadJson_apmibSet(id, buffer.bytes);
}

// Text goes in only if the store keeps all of it; a store id shorter than the text would
// cut it, which is refused (and the whole load with it) instead.
bool writeText(int id, const std::string& value) {
  if (value.size() + 1 > kValueBufferSize) return false;
  writeStore(id, value.c_str(), value.size() + 1);
  if (!writesEnabled()) return true;
  ValueBuffer back;
  apmib_get(id, back.bytes);
  back.bytes[sizeof back.bytes - 1] = 0;
  return value == reinterpret_cast<const char*>(back.bytes);
}

// Puts back what the apply pass changed in the working copy, newest first.
void rollBack() {
  for (auto it = gLoad->saved.rbegin(); it != gLoad->saved.rend(); ++it) apmib_set(it->id, it->before.bytes);
  gLoad->saved.clear();
}

// ---- checks ----

bool hasNul(const std::string& value) { return value.find('\0') != std::string::npos; }

bool parseDecimal(const std::string& value, long min, long max, long* number) {
  if (hasNul(value)) return false;
  errno = 0;
  char* end = nullptr;
  long parsed = strtol(value.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  if (parsed < min || parsed > max) return false;
  *number = parsed;
  return true;
}

// Splits "start-end" at the first "-"; false when there is no "-".
bool splitRange(const std::string& value, std::string* start, std::string* end) {
  size_t dash = value.find('-');
  if (dash == std::string::npos) return false;
  *start = value.substr(0, dash);
  *end = value.substr(dash + 1);
  return true;
}

const char* messageOf(Check check) {
  switch (check) {
    case Check::Address:
    case Check::Range:
      return kMsgNotAddress;
    case Check::Mask:
      return kMsgNotMask;
    case Check::AddressList:
      return kMsgNotAddressList;
    default:
      return kMsgOutOfRange;
  }
}

// Checks one key and, in the apply pass, writes it. Returns false when it was reported.
bool handleKey(json_object* object, const KeySpec& k, int group) {
  std::string value;
  if (readValue(object, k.key, &value) != 0) {
    if (!k.required) return true;
    reportError(group, k.key, kMsgOutOfRange);
    return false;
  }
  // No value longer than the working copies is taken, whatever its check: a NUL inside
  // would cut it short, and a longer text could not be stored whole.
  bool ok = !hasNul(value) && value.size() <= kMaxText;
  unsigned char code = 0;
  long number = 0;
  in_addr addr{};
  in_addr addr2{};
  if (ok) {
    switch (k.check) {
      case Check::Choice:
        ok = false;
        for (const Choice& c : k.choices) {
          if (value == c.word) {
            code = c.code;
            ok = true;
          }
        }
        break;
      case Check::OnOff:
        ok = configTool_comLoadJson_enableDisable(object, k.key, &code) == 0;
        break;
      case Check::AcceptReject:
        ok = configTool_comLoadJson_acceptReject(object, k.key, &code) == 0;
        break;
      case Check::Decimal:
        ok = parseDecimal(value, k.min, k.max, &number);
        break;
      case Check::Text:
        ok = value.size() <= static_cast<size_t>(k.max);
        break;
      case Check::TopicLevel:
        // A wildcard or a separator would make every topic with it a protocol violation: the
        // broker would drop each session at its first publish.
        ok = value.size() <= static_cast<size_t>(k.max) && value.find_first_of("+#/") == std::string::npos;
        break;
      case Check::Address:
      case Check::Mask:
        ok = configTool_comLoadJson_ipaddr(object, k.key, &addr, nullptr, 0) == 0;
        break;
      case Check::AddressList:
        ok = configTool_comLoadJson_multiIpaddrSubnet(object, k.key, nullptr, 0) == 0;
        break;
      case Check::Range: {
        // Empty text, like an empty address, passes and changes nothing.
        if (value.empty()) return true;
        std::string start, end;
        ok = splitRange(value, &start, &end) && parseAddress(start, &addr) && parseAddress(end, &addr2);
        break;
      }
    }
  }
  if (!ok) {
    reportError(group, k.key, messageOf(k.check));
    return false;
  }
  if (!writesEnabled()) return true;

  bool stored = true;
  for (size_t i = 0; i < k.ids.size(); ++i) {
    int id = k.ids[i];
    switch (k.store) {
      case Store::Byte:
        writeStore(id, &code, sizeof code);
        break;
      case Store::Int32: {
        int32_t n = static_cast<int32_t>(number);
        writeStore(id, &n, sizeof n);
        break;
      }
      case Store::U16: {
        uint16_t n = static_cast<uint16_t>(number);
        writeStore(id, &n, sizeof n);
        break;
      }
      case Store::Address:
        if (!value.empty()) writeStore(id, &addr, sizeof addr);
        break;
      case Store::Text:
        stored = writeText(id, value) && stored;
        break;
      case Store::TextIfNotEmpty:
        if (!value.empty()) stored = writeText(id, value) && stored;
        break;
      case Store::TextThenU16: {
        uint16_t n = static_cast<uint16_t>(number);
        if (i == 0)
          stored = writeText(id, value) && stored;
        else
          writeStore(id, &n, sizeof n);
        break;
      }
      case Store::TextThenInt32: {
        int32_t n = static_cast<int32_t>(number);
        if (i == 0)
          stored = writeText(id, value) && stored;
        else
          writeStore(id, &n, sizeof n);
        break;
      }
      case Store::Range:
        writeStore(id, i == 0 ? &addr : &addr2, sizeof addr);
        break;
      case Store::ProtocolBytes: {
        unsigned char flag = (code >> (i == 0 ? 1 : 0)) & 1;
        writeStore(id, &flag, sizeof flag);
        break;
      }
    }
  }
  if (!stored) {
    reportError(group, k.key, messageOf(k.check));
    gLoad->applyFailed = true;
    return false;
  }
  return true;
}

// Allowed names of one level as the fixed 32-byte entries the key-list check takes.
std::vector<std::array<char, CONFIGTOOL_KEY_SIZE>> keyNames(const std::vector<const char*>& names) {
  std::vector<std::array<char, CONFIGTOOL_KEY_SIZE>> list(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    list[i].fill('\0');
    strncpy(list[i].data(), names[i], CONFIGTOOL_KEY_SIZE - 1);
  }
  return list;
}

bool checkKeys(json_object* object, const std::vector<const char*>& names, int group) {
  auto list = keyNames(names);
  return configTool_comLoadJson_checkKeyList(
             object, static_cast<int>(list.size()),
             reinterpret_cast<const char(*)[CONFIGTOOL_KEY_SIZE]>(list.data()), reportUnknownKey, group) == 0;
}

bool isObject(json_object* value) { return value != nullptr && json_object_is_type(value, json_type_object); }

// One walk over the document; 0 when nothing was reported.
int walk(json_object* root, const DocumentSpec& spec) {
  const GroupSpec& topGroup = spec.groups[0];
  json_object* top = nullptr;
  if (isObject(root)) json_object_object_get_ex(root, spec.top, &top);
  if (top == nullptr || !isObject(top)) {
    reportError(1, spec.top, top == nullptr ? kMsgMissingKey : kMsgOutOfRange);
    closeGroup(1);
    return -1;
  }
  bool clean = true;

  std::vector<const char*> topNames;
  for (const KeySpec& k : topGroup.keys) topNames.push_back(k.key);
  for (size_t g = 1; g < spec.groups.size(); ++g) topNames.push_back(spec.groups[g].name);
  clean = checkKeys(top, topNames, 1) && clean;

  // A group given as something other than an object is a top-level failure, reported
  // before any group member so the document keeps its shape.
  std::vector<json_object*> groups(spec.groups.size(), nullptr);
  for (size_t g = 1; g < spec.groups.size(); ++g) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(top, spec.groups[g].name, &value) || value == nullptr) continue;
    if (!isObject(value)) {
      reportError(1, spec.groups[g].name, kMsgOutOfRange);
      clean = false;
      continue;
    }
    groups[g] = value;
  }

  for (const KeySpec& k : topGroup.keys) clean = handleKey(top, k, 1) && clean;

  for (size_t g = 1; g < spec.groups.size(); ++g) {
    const GroupSpec& group = spec.groups[g];
    if (groups[g] == nullptr) continue;
    std::vector<const char*> names;
    for (const KeySpec& k : group.keys) names.push_back(k.key);
    clean = checkKeys(groups[g], names, group.bit) && clean;
    for (const KeySpec& k : group.keys) clean = handleKey(groups[g], k, group.bit) && clean;
    closeGroup(group.bit);
  }
  closeGroup(1);
  return clean ? 0 : -1;
}

// Reads and parses the input: at most kMaxInputBytes, valid UTF-8, one JSON value and
// nothing but white space after it. nullptr for anything else.
json_object* parseInput(const char* path) {
  FILE* in = path ? fopen(path, "rb") : nullptr;
  if (in == nullptr) return nullptr;
  std::string data;
  char chunk[8192];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) {
    data.append(chunk, got);
    if (data.size() > static_cast<size_t>(kMaxInputBytes)) break;
  }
  bool readError = ferror(in) != 0;
  fclose(in);
  if (readError || data.size() > static_cast<size_t>(kMaxInputBytes)) return nullptr;

  json_tokener* tok = json_tokener_new_ex(JSON_TOKENER_DEFAULT_DEPTH);
  if (tok == nullptr) return nullptr;
  json_tokener_set_flags(tok, JSON_TOKENER_VALIDATE_UTF8);
  json_object* root = json_tokener_parse_ex(tok, data.data(), static_cast<int>(data.size()));
  bool complete = json_tokener_get_error(tok) == json_tokener_success && root != nullptr;
  if (complete) {
    size_t used = json_tokener_get_parse_end(tok);
    for (size_t i = used; i < data.size() && complete; ++i)
      complete = data[i] == ' ' || data[i] == '\t' || data[i] == '\n' || data[i] == '\r';
  }
  json_tokener_free(tok);
  if (!complete) {
    json_object_put(root);
    return nullptr;
  }
  return root;
}

int load(const char* inputPath, const char* errorPath, const DocumentSpec& spec) {
  std::lock_guard<std::mutex> guard(gLoadLock);
  apmib_init();
  // The error document is written under a temporary name and renamed over `errorPath` only
  // when it has content and was written whole; a link at `errorPath` is replaced, not followed.
  if (errorPath == nullptr) {
    fputs("ERROR:JSON parse error file\n", stderr);
    return -2;
  }
  hbn::FileReplacement errorDocument(errorPath, 0644);
  FILE* errorFile = errorDocument.stream();
  if (errorFile == nullptr) {
    fputs("ERROR:JSON parse error file\n", stderr);
    return -2;
  }
  json_object* root = parseInput(inputPath);
  if (root == nullptr) {
    fputs(kNotJsonLine, errorFile);
    if (!errorDocument.commit()) {
      unlink(errorPath);
      fputs("ERROR:JSON parse error file\n", stderr);
      return -2;
    }
    return -1;
  }

  LoadState state;
  state.doc.file = errorFile;
  state.doc.spec = &spec;
  gLoad = &state;

  configTool_comLoadJson_apmibSetControl(0);
  int result = walk(root, spec);
  if (result == 0) {
    configTool_comLoadJson_apmibSetControl(1);
    result = walk(root, spec);
    configTool_comLoadJson_apmibSetControl(0);
    if (result != 0 || state.applyFailed) {
      rollBack();
      result = -1;
    }
  }
  // The commit comes before the error document is closed: a store that could not be written
  // (a full file system) is a failed load, never a silent success.
  bool commitFailed = false;
  if (result == 0 && apmib_update(4) != 1) {
    rollBack();
    commitFailed = true;
    fputs(kCommitFailedLine, errorFile);
    fputs("ERROR:settings store commit failed\n", stderr);
  }
  if (state.doc.started) {
    fputc('}', errorFile);
    if ((state.doc.bits & 1u) == 0) fputc('}', errorFile);
    fputc('\n', errorFile);
  }
  long length = ftell(errorFile);
  json_object_put(root);
  gLoad = nullptr;
  // No error: no document (an older one at the path goes too). An error document that could
  // not be written whole (a full file system) is not left behind: cut short, it would tell the
  // cloud nothing sound.
  bool documentWhole = length == 0 || errorDocument.commit();
  if (length == 0 || !documentWhole) unlink(errorPath);
  if (!documentWhole) {
    fputs("ERROR:JSON parse error file\n", stderr);
    return -2;
  }
  return commitFailed ? -3 : 0;
}

}  // namespace

extern "C" int configtool_loadJsonCfg(const char* inputPath, const char* errorPath) {
  return load(inputPath, errorPath, settingsSpec());
}

extern "C" int configtool_loadJsonSvr(const char* inputPath, const char* errorPath) {
  return load(inputPath, errorPath, serverSpec());
}
