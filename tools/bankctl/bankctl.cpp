// bankctl: reads and changes the boot setting record, the first 32 bytes of the boot
// setting flash partition. The record is sixteen 16-bit little-endian words; it is always
// read and written whole.
#include "bankctl.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "hbn_path.h"

namespace {

constexpr size_t kRecordSize = 32;
constexpr size_t kWordCount = kRecordSize / 2;
constexpr char kSignatureText[8] = {'E', 'V', 'O', 'X', '-', 'R', 'W', 'Z'};
constexpr uint16_t kSignatureNumber = 0x9781;

// Word indexes of the fields.
constexpr size_t kWordSignature = 4;
constexpr size_t kWordBank = 5;
constexpr size_t kWordBank1Flag = 6;
constexpr size_t kWordBank2Flag = 7;
constexpr size_t kWordConsole = 8;

constexpr uint16_t kFlagSelected = 0;
constexpr uint16_t kFlagSuccess = 2;

const char kUsage[] =
    "usage: bankctl [show | bank1 | bank2 | success | con_on | con_off | dump | erase]\n"
    "\tshow    : show boot setting\n"
    "\tbank1   : set boot bank #1\n"
    "\tbank2   : set boot bank #2\n"
    "\tsuccess : set boot setting success\n"
    "\tcon_on  : set console output on\n"
    "\tcon_off : set console output off\n"
    "\tdump    : dump boot setting\n"
    "\terase   : erase boot setting\n";

enum class Command { kShow, kBank1, kBank2, kSuccess, kConOn, kConOff, kDump, kErase };

struct Record {
  uint8_t bytes[kRecordSize];

  uint16_t word(size_t index) const {
    return static_cast<uint16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
  }
  void setWord(size_t index, uint16_t value) {
    bytes[2 * index] = static_cast<uint8_t>(value & 0xFF);
    bytes[2 * index + 1] = static_cast<uint8_t>(value >> 8);
  }
  bool valid() const {
    return memcmp(bytes, kSignatureText, sizeof kSignatureText) == 0 &&
           word(kWordSignature) == kSignatureNumber;
  }
  void sign() {
    memcpy(bytes, kSignatureText, sizeof kSignatureText);
    setWord(kWordSignature, kSignatureNumber);
  }
  // Any bank word other than 2 starts bank 1.
  uint16_t bank() const { return word(kWordBank) == 2 ? 2 : 1; }
};

bool parseCommand(int argc, char** argv, Command* command) {
  if (argc == 1) {
    *command = Command::kShow;
    return true;
  }
  if (argc != 2) return false;
  static const struct {
    const char* word;
    Command command;
  } kWords[] = {{"show", Command::kShow},       {"bank1", Command::kBank1},  {"bank2", Command::kBank2},
                {"success", Command::kSuccess}, {"con_on", Command::kConOn}, {"con_off", Command::kConOff},
                {"dump", Command::kDump},       {"erase", Command::kErase}};
  for (const auto& entry : kWords) {
    if (strcmp(argv[1], entry.word) == 0) {
      *command = entry.command;
      return true;
    }
  }
  return false;
}

const char* flagText(uint16_t flag) {
  switch (flag) {
    case 2:
      return "success";
    case 1:
      return "first boot";
    default:
      return "unknown";
  }
}

void show(const Record& record) {
  printf("--- Boot Setting ---\n");
  if (!record.valid()) {
    printf("ERROR:boot setting is invalid.\n");
    return;
  }
  const uint8_t* s = record.bytes;
  printf("Signature   =%c%c%c%c%c%c%c%c%04hX\n", s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7],
         record.word(kWordSignature));
  printf("Boot Bank   =#%hu\n", record.bank());
  printf("Bank #1 Flag=%s\n", flagText(record.word(kWordBank1Flag)));
  printf("Bank #2 Flag=%s\n", flagText(record.word(kWordBank2Flag)));
  printf("Console out =%s\n", record.word(kWordConsole) != 0 ? "on" : "off");
}

void dump(const Record& record) {
  printf("--- Dump Boot Setting ---\n");
  for (size_t i = 0; i < kWordCount; ++i) printf("%d:0x%04hX\n", static_cast<int>(i), record.word(i));
}

// Puts the whole record back at offset 0; true when all 32 bytes were written.
bool writeRecord(int fd, const Record& record) {
  return pwrite(fd, record.bytes, kRecordSize, 0) == static_cast<ssize_t>(kRecordSize);
}

void writeOrComplain(int fd, const Record& record) {
  if (!writeRecord(fd, record)) printf("ERROR:set boot setting fail.\n");
}

void execute(int fd, Command command, Record& record) {
  switch (command) {
    case Command::kShow:
      show(record);
      break;
    case Command::kDump:
      dump(record);
      break;
    case Command::kBank1:
    case Command::kBank2: {
      uint16_t bank = command == Command::kBank1 ? 1 : 2;
      printf("--- Set Boot Setting [bank #%hu] ---\n", bank);
      record.sign();
      record.setWord(kWordBank, bank);
      record.setWord(bank == 1 ? kWordBank1Flag : kWordBank2Flag, kFlagSelected);
      writeOrComplain(fd, record);
      break;
    }
    case Command::kSuccess: {
      printf("--- Set Boot Setting Success ---\n");
      if (!record.valid()) {
        printf("ERROR:boot setting is invalid.\n");
        break;
      }
      size_t flagWord = record.bank() == 2 ? kWordBank2Flag : kWordBank1Flag;
      if (record.word(flagWord) == kFlagSuccess) break;  // already marked: spare the flash a write
      record.setWord(flagWord, kFlagSuccess);
      writeOrComplain(fd, record);
      break;
    }
    case Command::kConOn:
    case Command::kConOff: {
      uint16_t on = command == Command::kConOn ? 1 : 0;
      printf("--- Set Console Output Setting [#%hu] ---\n", on);
      record.sign();
      record.setWord(kWordConsole, on);
      writeOrComplain(fd, record);
      break;
    }
    case Command::kErase:
      printf("--- Erase Boot Setting ---\n");
      memset(record.bytes, 0xFF, kRecordSize);
      if (!writeRecord(fd, record)) printf("ERROR:boot setting erase fail.\n");
      break;
  }
}

}  // namespace

int bankctl_main(int argc, char** argv) {
  Command command = Command::kShow;
  if (!parseCommand(argc, argv, &command)) {
    printf("%s", kUsage);
    return 1;
  }

  std::string device = HBN_path("/dev/mtdblock3");
  int fd = open(device.c_str(), O_RDWR);
  if (fd < 0) {
    printf("ERROR:boot setting open fail.\n");
    return 1;
  }
  Record record;
  if (pread(fd, record.bytes, kRecordSize, 0) != static_cast<ssize_t>(kRecordSize)) {
    close(fd);
    printf("ERROR:boot setting read fail.\n");
    return 1;
  }
  execute(fd, command, record);
  close(fd);
  return 0;
}
