// Settings store: file format, load failures, write-through, atomic replacement, factory
// restore, whole-image restore, the configuration-store getters and the root number.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "apmib.h"
#include "hbn_log.h"
#include "hbn_log_capture.h"
#include "hbn_nvm.h"
#include "hbn_test.h"

namespace {

using hbntest::logCount;

const char* const kLive = "/jffs2/hbn/setting.bin";
const char* const kFactory = "/etc/hbn/setting.bin";

// A valid image with the given (node, class) bits set.
std::string image(const std::vector<std::pair<int, int>>& secure = {}) {
  std::string data(HBN_NVM_SIZE, '\0');
  std::memcpy(&data[0], "HNVM", 4);
  for (auto [node, cc] : secure)
    data[4 + 32 * node + cc / 8] = static_cast<char>(data[4 + 32 * node + cc / 8] | 1 << (cc % 8));
  return data;
}

class NvmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hbntest::SyslogRecorder::start();
    box.mkdirs("/jffs2/hbn");
    box.mkdirs("/etc/hbn");
  }
  void TearDown() override {
    HBN_nvm_finalize();
    HBN_log_setSyslogHook(nullptr);
  }
  std::string live() const { return box.read(kLive); }
  hbntest::Sandbox box;
};

TEST_F(NvmTest, CreateWritesAnEmptyImageWithMagic) {
  ASSERT_EQ(0, HBN_nvm_initialize(1));
  EXPECT_EQ(image(), live());
  EXPECT_FALSE(box.exists(std::string(kLive) + ".tmp"));
  // A second initialise keeps the running image.
  ASSERT_EQ(0, HBN_nvm_setSecureClasses(3, reinterpret_cast<const uint8_t*>("\x20"),
                                        reinterpret_cast<const uint8_t*>("\x01"), 1));
  EXPECT_EQ(0, HBN_nvm_initialize(1));
  EXPECT_EQ(1, HBN_nvm_isSecureClass(3, 0x20));
}

TEST_F(NvmTest, DamagedOrMissingLiveFileFailsTheLoad) {
  struct Case {
    const char* name;
    std::string content;  // empty: no file
    const char* message;
  };
  std::string badMagic = image();
  std::memcpy(&badMagic[0], "XNVM", 4);
  const std::vector<Case> cases = {
      {"short", image().substr(0, HBN_NVM_SIZE - 1), "NVM read fail(7491)\n"},
      {"magic", badMagic, "NVM magic unmatch(4D564E48:4D564E58)\n"},
      {"missing", "", "NVM open fail\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content.empty())
      std::remove(box.path(kLive).c_str());
    else
      box.write(kLive, c.content);
    EXPECT_EQ(-1, HBN_nvm_initialize(0));
    EXPECT_EQ(1, logCount(c.message));
    // Nothing was kept: the store is not running and the file was not recreated.
    EXPECT_EQ(-1, HBN_nvm_clearAll());
    EXPECT_EQ(c.content.empty(), !box.exists(kLive));
  }
}

TEST_F(NvmTest, SecureClassesAreWrittenThroughAndSurviveARestart) {
  box.write(kLive, image({{7, 0x25}}));
  ASSERT_EQ(0, HBN_nvm_initialize(0));
  EXPECT_EQ(1, HBN_nvm_isSecureClass(7, 0x25));

  // Class 0x9F of node 5 is bit 7 of byte 19 of record 5; flags select which classes count.
  const uint8_t classes[] = {0x9F, 0x25, 0x86};
  const uint8_t flags[] = {1, 0, 2};
  ASSERT_EQ(0, HBN_nvm_setSecureClasses(5, classes, flags, 3));
  std::string file = live();
  EXPECT_EQ(0x80, static_cast<uint8_t>(file[4 + 160 + 19]));
  EXPECT_EQ(image({{7, 0x25}, {5, 0x9F}, {5, 0x86}}), file);
  EXPECT_EQ(1, HBN_nvm_isSecureClass(5, 0x9F));
  EXPECT_EQ(1, HBN_nvm_isSecureClass(5, 0x9F + 256));  // class taken modulo 256
  EXPECT_EQ(0, HBN_nvm_isSecureClass(5, 0x25));
  EXPECT_EQ(0, HBN_nvm_isSecureClass(234, 0x9F));  // outside the records

  HBN_nvm_finalize();
  ASSERT_EQ(0, HBN_nvm_initialize(0));
  EXPECT_EQ(1, HBN_nvm_isSecureClass(5, 0x86));

  // All flags zero empties the node's record, and the file is still written.
  const uint8_t none[] = {0, 0, 0};
  ASSERT_EQ(0, HBN_nvm_setSecureClasses(5, classes, none, 3));
  EXPECT_EQ(image({{7, 0x25}}), live());

  ASSERT_EQ(0, HBN_nvm_setSecureClasses(9, classes, flags, 1));
  ASSERT_EQ(0, HBN_nvm_clearNode(7));
  EXPECT_EQ(image({{9, 0x9F}}), live());
  ASSERT_EQ(0, HBN_nvm_clearAll());
  EXPECT_EQ(image(), live());
  EXPECT_EQ(-1, HBN_nvm_setSecureClasses(234, classes, flags, 1));
  EXPECT_EQ(-1, HBN_nvm_clearNode(-1));
}

TEST_F(NvmTest, FileIsReplacedWholeAndAFailedWriteKeepsBothVersionsConsistent) {
  box.write(kLive, image());
  ASSERT_EQ(0, HBN_nvm_initialize(0));
  struct stat before {};
  ASSERT_EQ(0, stat(box.path(kLive).c_str(), &before));
  const uint8_t cc = 0x62, on = 1;
  ASSERT_EQ(0, HBN_nvm_setSecureClasses(2, &cc, &on, 1));
  struct stat after {};
  ASSERT_EQ(0, stat(box.path(kLive).c_str(), &after));
  // A new file took the old one's place (rename), never a rewrite in place.
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(HBN_NVM_SIZE, after.st_size);
  EXPECT_FALSE(box.exists(std::string(kLive) + ".tmp"));

  // When the new file cannot be written, the old file stays intact and the running image
  // keeps the change (the next good write brings the file up to date).
  box.mkdirs(std::string(kLive) + ".tmp");
  const uint8_t cc2 = 0x70;
  EXPECT_EQ(-1, HBN_nvm_setSecureClasses(3, &cc2, &on, 1));
  EXPECT_EQ(1, logCount("NVM open fail\n"));
  EXPECT_EQ(image({{2, 0x62}}), live());
  EXPECT_EQ(1, HBN_nvm_isSecureClass(3, 0x70));
  rmdir(box.path(std::string(kLive) + ".tmp").c_str());
  ASSERT_EQ(0, HBN_nvm_clearNode(9));
  EXPECT_EQ(image({{2, 0x62}, {3, 0x70}}), live());
}

TEST_F(NvmTest, RestoreDefaultReplacesLiveFileOnlyFromAGoodFactoryCopy) {
  box.write(kLive, image({{4, 0x10}}));
  ASSERT_EQ(0, HBN_nvm_initialize(0));

  // A short or damaged factory copy fails and leaves file and image as they were.
  std::string damaged = image({{8, 8}});
  damaged[0] = 'X';
  for (const std::string& bad : {image({{8, 8}}).substr(0, 100), damaged}) {
    box.write(kFactory, bad);
    EXPECT_EQ(-1, HBN_nvm_restoreDefault());
    EXPECT_EQ(image({{4, 0x10}}), live());
    EXPECT_EQ(1, HBN_nvm_isSecureClass(4, 0x10));
  }
  std::remove(box.path(kFactory).c_str());
  EXPECT_EQ(-1, HBN_nvm_restoreDefault());
  // A factory copy longer than an image is not taken either.
  box.write(kFactory, image({{8, 8}}) + "extra");
  EXPECT_EQ(-1, HBN_nvm_restoreDefault());
  EXPECT_EQ(image({{4, 0x10}}), live());

  box.write(kFactory, image({{8, 8}}));
  ASSERT_EQ(0, HBN_nvm_restoreDefault());
  EXPECT_EQ(image({{8, 8}}), live());
  EXPECT_EQ(0, HBN_nvm_isSecureClass(4, 0x10));
  EXPECT_EQ(1, HBN_nvm_isSecureClass(8, 8));
}

TEST_F(NvmTest, WholeImageRestoreAndHandOut) {
  box.write(kLive, image());
  ASSERT_EQ(0, HBN_nvm_initialize(0));
  std::string wanted = image({{100, 0xFF}});
  EXPECT_EQ(-1, HBN_nvm_restore(nullptr, HBN_NVM_SIZE));
  EXPECT_EQ(-1, HBN_nvm_restore(reinterpret_cast<const uint8_t*>(wanted.data()), HBN_NVM_SIZE - 1));
  EXPECT_EQ(1, logCount("NVM restore data size unmatch\n"));
  ASSERT_EQ(0, HBN_nvm_restore(reinterpret_cast<const uint8_t*>(wanted.data()), HBN_NVM_SIZE));
  EXPECT_EQ(wanted, live());

  uint8_t* data = nullptr;
  int length = 0;
  EXPECT_EQ(-1, HBN_nvm_getData(nullptr, &length));
  ASSERT_EQ(0, HBN_nvm_getData(&data, &length));
  EXPECT_EQ(HBN_NVM_SIZE, length);
  EXPECT_EQ(0, std::memcmp(wanted.data(), data, HBN_NVM_SIZE));
  HBN_nvm_releaseData();
  EXPECT_EQ(0, HBN_nvm_clearAll());  // the mutex was given back
}

TEST_F(NvmTest, CopyCountsExactLength) {
  box.write("/etc/src.bin", std::string(1300, 'a'));
  EXPECT_EQ(0, HBN_nvm_coreCopy(box.path("/etc/src.bin").c_str(), box.path("/etc/dst.bin").c_str(), 1300));
  EXPECT_EQ(std::string(1300, 'a'), box.read("/etc/dst.bin"));
  EXPECT_EQ(-1, HBN_nvm_coreCopy(box.path("/etc/src.bin").c_str(), box.path("/etc/dst2.bin").c_str(), 1299));
  EXPECT_FALSE(box.exists("/etc/dst2.bin"));
  EXPECT_EQ(-1, HBN_nvm_coreCopy(box.path("/etc/none").c_str(), box.path("/etc/dst.bin").c_str(), 1));
}

// A destination that cannot be replaced (a directory holding a file) fails the final step;
// the line names the operation that was asked to write.
TEST_F(NvmTest, FailedReplacementIsLoggedByTheWritingOperation) {
  box.write("/etc/src.bin", std::string(16, 'a'));
  box.write("/etc/taken/file", "x");
  const std::string taken = box.path("/etc/taken");
  const uint8_t data[4] = {'H', 'N', 'V', 'M'};
  EXPECT_EQ(-1, HBN_nvm_coreWrite(taken.c_str(), data, 4));
  EXPECT_EQ(-1, HBN_nvm_coreCopy(box.path("/etc/src.bin").c_str(), taken.c_str(), 16));
  EXPECT_EQ(2, logCount("]:NVM write fail("));
  EXPECT_EQ(1, logCount("/HBN_nvm_coreWrite["));
  EXPECT_EQ(1, logCount("/HBN_nvm_coreCopy["));
  EXPECT_FALSE(box.exists("/etc/taken.tmp"));
}

TEST_F(NvmTest, GettersReadTheConfigurationStore) {
  apmib_init();
  auto setText = [](int id, const char* text) { ASSERT_EQ(1, apmib_set(id, const_cast<char*>(text))); };
  auto setByte = [](int id, uint8_t value) { ASSERT_EQ(1, apmib_set(id, &value)); };
  setText(1410, "SN0001");
  setText(1411, "");
  setText(1412, "broker.example");
  setText(1413, "8883");
  setByte(1414, 1);
  setByte(1415, 1);
  setText(1416, "user1");
  setText(1417, "secret");
  setByte(1418, 0);
  setText(1419, "300");

  char text[64];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(0, HBN_nvm_getSerial(text, sizeof text));
  EXPECT_STREQ("SN0001", text);
  EXPECT_EQ(0, HBN_nvm_getServiceCode(text, sizeof text));
  EXPECT_STREQ("vexor", text);
  setText(1411, "acme");
  HBN_nvm_getServiceCode(text, sizeof text);
  EXPECT_STREQ("acme", text);
  int port = 0;
  EXPECT_EQ(0, HBN_nvm_getServer(text, sizeof text, &port));
  EXPECT_STREQ("broker.example", text);
  EXPECT_EQ(8883, port);
  char small[4];
  HBN_nvm_getServer(small, sizeof small, &port);  // cut to the caller's buffer
  EXPECT_STREQ("bro", small);
  int flag = 0;
  EXPECT_EQ(0, HBN_nvm_getTls(&flag));
  EXPECT_EQ(1, flag);
  char user[33], pass[33];
  EXPECT_EQ(0, HBN_nvm_getAuth(&flag, user, sizeof user, pass, sizeof pass));
  EXPECT_EQ(1, flag);
  EXPECT_STREQ("user1", user);
  EXPECT_STREQ("secret", pass);

  // Keep-alive disabled: -1 whatever the interval says.
  EXPECT_EQ(-1, HBN_nvm_getKeepAlive());
  setByte(1418, 1);
  EXPECT_EQ(300, HBN_nvm_getKeepAlive());
}

TEST_F(NvmTest, RootNumberIsKeptOnceKnown) {
  EXPECT_EQ(0, HBN_nvm_getRootNo());  // no file yet: unknown, tried again next time
  box.write("/etc/rootfs_no", "x\n");
  EXPECT_EQ(0, HBN_nvm_getRootNo());
  box.write("/etc/rootfs_no", "2\n");
  EXPECT_EQ(2, HBN_nvm_getRootNo());
  box.write("/etc/rootfs_no", "1\n");
  EXPECT_EQ(2, HBN_nvm_getRootNo());
}

}  // namespace
