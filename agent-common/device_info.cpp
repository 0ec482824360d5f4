// Device information sources: bounded line reads of the platform's small files, the login
// credential check and the interface query.
#include "device_info.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "hbn_file.h"
#include "hbn_net.h"
#include "hbn_path.h"
#include "store_reader.h"

namespace hbn {

namespace {

enum class Line { NoFile, NoLine, Found };

// Reads line `index` (0 = first) of the file at the fixed path `absolute`. The line ends at its
// newline, which is never part of it; with `stripCr` one carriage return before the newline is
// removed too. At most `maxChars` characters are kept; the rest of a longer line is skipped, so
// the lines after it are still counted right.
Line readLine(const char* absolute, int index, size_t maxChars, bool stripCr, std::string* line) {
  line->clear();
  FILE* file = std::fopen(HBN_path(absolute).c_str(), "r");
  if (file == nullptr) return Line::NoFile;
  int current = 0;
  bool found = false;
  bool longer = false;  // more than maxChars + 1 characters: the end is cut whatever it holds
  int c;
  while ((c = std::getc(file)) != EOF) {
    if (current < index) {
      if (c == '\n') ++current;
      continue;
    }
    found = true;
    if (c == '\n') break;
    if (line->size() > maxChars) {
      longer = true;
      break;
    }
    line->push_back(static_cast<char>(c));
  }
  std::fclose(file);
  if (!found) return Line::NoLine;
  if (!longer && stripCr && !line->empty() && line->back() == '\r') line->pop_back();
  if (line->size() > maxChars) line->resize(maxChars);
  return Line::Found;
}

size_t copyOut(const std::string& text, char* dest, size_t size) {
  return mib::detail::copyText(text.c_str(), dest, size);
}

size_t readLteIdentity(const char* absolute, char* dest, size_t size) {
  std::string line;
  readLine(absolute, 0, kLteTextSize - 1, true, &line);
  return copyOut(line, dest, size);
}

}  // namespace

size_t readFirmwareVersion(char* dest, size_t size, const char* emptyDefault) {
  std::string line;
  switch (readLine("/etc/build.info", 0, kFirmwareVersionSize - 1, true, &line)) {
    case Line::NoFile:
      return copyOut("", dest, size);
    case Line::NoLine:
      return mib::detail::copyText(emptyDefault, dest, size);
    case Line::Found:
      break;
  }
  return copyOut(line, dest, size);
}

size_t readLteVersion(char* dest, size_t size) {
  std::string line;
  if (readLine("/var/lte0_ati.inf", 2, kLteTextSize - 1, true, &line) == Line::NoFile)
    readLine("/var/lte0_ver.inf", 0, kLteTextSize - 1, true, &line);
  return copyOut(line, dest, size);
}

bool readWanAddress(char* dest, size_t size) {
  std::string line;
  bool exists = readLine("/var/lte0_gip.inf", 0, kWanAddressSize - 1, false, &line) != Line::NoFile;
  copyOut(line, dest, size);
  return exists;
}

int clockSynchronised() {
  std::string line;
  readLine("/var/tmp/timeStatus", 0, 1, false, &line);
  return !line.empty() && line[0] == '2' ? 1 : 0;
}

int loginPasswordChanged() {
  for (const mib::ShortText& id : {mib::kLoginUser, mib::kLoginPassword}) {
    char current[mib::ShortText::kSize];
    char factory[mib::ShortText::kSize];
    mib::get(id, current, sizeof current);
    mib::getDef(id, factory, sizeof factory);
    if (std::strcmp(current, factory) != 0) return 1;
  }
  return 0;
}

void readInterfaceInfo(const char* ifname, uint8_t mac[6], uint8_t ipv4[4]) {
  uint8_t hardware[6];
  uint8_t address[16];
  HBN_util_netGetInfo(ifname, hardware, address);
  if (mac != nullptr) std::memcpy(mac, hardware, sizeof hardware);
  if (ipv4 != nullptr) std::memcpy(ipv4, address, 4);
}

size_t readLteImei(char* dest, size_t size) { return readLteIdentity("/var/lte_imei.inf", dest, size); }

size_t readLteSerial(char* dest, size_t size) { return readLteIdentity("/var/lte_sno.inf", dest, size); }

int writeBuildVersion(const char* version) {
  // A new file renamed over the old: a full file system leaves the previous file whole instead
  // of an empty one.
  const char* text = version != nullptr ? version : "";
  return replaceFile(HBN_path("/var/pqv_version"), text, std::strlen(text), 0644);
}

}  // namespace hbn
