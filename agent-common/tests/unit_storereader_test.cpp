// Typed store reads against the apmib stand-in in a private root: defaults, text cuts, the
// per-WAN blocks and the 16-bit port.
#include "store_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apmib.h"
#include "hbn_test.h"

namespace {

namespace mib = hbn::mib;

// Ids of each kind as the agents name them beside their code.
constexpr mib::ByteId kWanMode{7144};
constexpr mib::I32Id kFailbackMinutes{7161};
constexpr mib::Text kHost{1412};
constexpr mib::U16Id kOtaPort{1422};
constexpr mib::U16Id kDelayMax{7263};

class StoreReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { apmib_init(); }

  // Sets and commits, as a configuration load would.
  static void setText(int id, const std::string& text) {
    ASSERT_EQ(1, apmib_set(id, const_cast<char*>(text.c_str())));
    ASSERT_EQ(1, apmib_update(4));
  }
  template <typename T>
  static void setNumber(int id, T value) {
    ASSERT_EQ(1, apmib_set(id, &value));
    ASSERT_EQ(1, apmib_update(4));
  }

  hbntest::Sandbox box;
};

TEST_F(StoreReaderTest, CallerDefaultStaysWhenTheStoreHasNoValue) {
  // The serial numbers have no factory value: until one is written the caller's default holds.
  char text[16];
  EXPECT_EQ(4u, mib::get(mib::kSerial, text, sizeof text, "none"));
  EXPECT_STREQ("none", text);
  mib::get(mib::wanBlock(2).serial, text, sizeof text);
  EXPECT_STREQ("", text);
  EXPECT_EQ(0u, mib::getDef(mib::kSerial, text, sizeof text, nullptr));
  EXPECT_STREQ("", text);

  setText(1410, "SN-1");
  EXPECT_EQ(4u, mib::get(mib::kSerial, text, sizeof text, "none"));
  EXPECT_STREQ("SN-1", text);
  // An empty stored text is a value: it replaces the default.
  setText(1410, "");
  mib::get(mib::kSerial, text, sizeof text, "none");
  EXPECT_STREQ("", text);
}

TEST_F(StoreReaderTest, NumbersAndFactoryDefaults) {
  EXPECT_EQ(3, mib::get(kWanMode, 3));
  setNumber<uint8_t>(7144, 1);
  EXPECT_EQ(1, mib::get(kWanMode, 3));
  EXPECT_EQ(3, mib::getDef(kWanMode));

  setNumber<int32_t>(7161, -5);
  EXPECT_EQ(-5, mib::get(kFailbackMinutes));

  // Login credentials: current and factory value apart once changed.
  setText(183, "s3cret");
  char text[mib::ShortText::kSize];
  mib::get(mib::kLoginPassword, text, sizeof text);
  EXPECT_STREQ("s3cret", text);
  mib::getDef(mib::kLoginPassword, text, sizeof text);
  EXPECT_STREQ("admin", text);
}

TEST_F(StoreReaderTest, TextsAreCutToTheCallersBufferAndAlwaysTerminated) {
  const std::string longest(255, 'h');
  setText(1412, longest);
  char whole[mib::Text::kSize];
  EXPECT_EQ(255u, mib::get(kHost, whole, sizeof whole));
  EXPECT_EQ(longest, whole);

  char guarded[12];
  std::memset(guarded, '#', sizeof guarded);
  EXPECT_EQ(7u, mib::get(kHost, guarded, 8));
  EXPECT_EQ(std::string(7, 'h'), guarded);
  EXPECT_EQ(std::string(4, '#'), std::string(guarded + 8, 4));  // nothing past the buffer

  // A caller's default longer than the value buffer is cut as well.
  const std::string hugeDefault(400, 'd');
  EXPECT_EQ(255u, mib::get(mib::kSerial, whole, sizeof whole, hugeDefault.c_str()));

  // No buffer: nothing written, nothing read past.
  EXPECT_EQ(0u, mib::get(kHost, nullptr, 8));
  guarded[0] = '#';
  EXPECT_EQ(0u, mib::get(kHost, guarded, 0));
  EXPECT_EQ('#', guarded[0]);
}

TEST_F(StoreReaderTest, ServiceCodeFallsBackToVexorWhenEmpty) {
  char code[32];
  mib::getServiceCode(mib::kServiceCode, code, sizeof code);
  EXPECT_STREQ("vexor", code);
  mib::getServiceCode(mib::kServiceCode, code, 3);
  EXPECT_STREQ("ve", code);
  setText(7117, "acme");
  mib::getServiceCode(mib::wanBlock(2).serviceCode, code, sizeof code);
  EXPECT_STREQ("acme", code);
  mib::getServiceCode(mib::wanBlock(1).serviceCode, code, sizeof code);
  EXPECT_STREQ("vexor", code);
}

// Block bases and every offset: type 1 at 7101, type 2 at 7115, any other type at 7129.
TEST_F(StoreReaderTest, WanBlocksByType) {
  struct Case {
    int type;
    int base;
  } cases[] = {{1, 7101}, {2, 7115}, {0, 7129}, {-1, 7129}, {7, 7129}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const mib::WanBlock b = mib::wanBlock(c.type);
    const int ids[] = {b.cloudEnable.id,
                       b.serial.id,
                       b.serviceCode.id,
                       b.host.id,
                       b.port.id,
                       b.tlsEnable.id,
                       b.loginEnable.id,
                       b.user.id,
                       b.password.id,
                       b.keepAliveEnable.id,
                       b.keepAliveSeconds.id,
                       b.linkCheckEnable.id,
                       b.linkCheckMinutes.id,
                       b.optimizeEnable.id};
    ASSERT_EQ(static_cast<size_t>(mib::kWanBlockLength), sizeof ids / sizeof ids[0]);
    for (int offset = 0; offset < mib::kWanBlockLength; ++offset) EXPECT_EQ(c.base + offset, ids[offset]);
  }
  static_assert(mib::wanBlock(2).linkCheckMinutes.id == 7115 + mib::kWanLinkCheckMinutes, "offset +12");

  // Values land where the offsets say, per block.
  setNumber<uint8_t>(7101 + mib::kWanCloudEnable, 1);
  setNumber<int32_t>(7129 + mib::kWanKeepAliveSeconds, 90);
  setText(7115 + mib::kWanUser, std::string(40, 'u'));
  EXPECT_EQ(1, mib::get(mib::wanBlock(1).cloudEnable));
  EXPECT_EQ(0, mib::get(mib::wanBlock(2).cloudEnable));
  EXPECT_EQ(90, mib::get(mib::wanBlock(0).keepAliveSeconds));
  EXPECT_EQ(90, mib::get(mib::wanBlock(-1).keepAliveSeconds));
  char user[mib::kLoginTextSize];
  EXPECT_EQ(32u, mib::get(mib::wanBlock(2).user, user, sizeof user));  // used up to 32 characters
}

// Ports are 16-bit: values above 32767 read back whole, not as negative numbers.
TEST_F(StoreReaderTest, PortsAreSixteenBit) {
  setNumber<uint16_t>(7105, 8883);
  setNumber<uint16_t>(7133, 65535);
  setNumber<uint16_t>(1422, 40000);
  EXPECT_EQ(8883, mib::get(mib::wanBlock(1).port));
  EXPECT_EQ(0, mib::get(mib::wanBlock(2).port));
  EXPECT_EQ(65535, mib::get(mib::wanBlock(0).port));
  EXPECT_EQ(40000, mib::get(kOtaPort));
  setNumber<uint16_t>(7263, 600);
  EXPECT_EQ(600, mib::get(kDelayMax));
}

TEST_F(StoreReaderTest, AnyCloudEnabledLooksAtAllThreeBlocks) {
  EXPECT_FALSE(mib::anyCloudEnabled());
  for (int id : {7101, 7115, 7129}) {
    SCOPED_TRACE(id);
    setNumber<uint8_t>(id, 1);
    EXPECT_TRUE(mib::anyCloudEnabled());
    setNumber<uint8_t>(id, 0);
    EXPECT_FALSE(mib::anyCloudEnabled());
  }
}

}  // namespace
