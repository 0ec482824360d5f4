// Device information sources against files in a private root and the apmib stand-in.
#include "device_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apmib.h"
#include "hbn_test.h"

namespace {

constexpr char kRouterDefault[] = "01.00.03.01";

class DeviceInfoTest : public ::testing::Test {
 protected:
  hbntest::Sandbox box;
};

std::string firmware(const char* emptyDefault = kRouterDefault) {
  char text[hbn::kFirmwareVersionSize];
  std::memset(text, 'x', sizeof text);
  hbn::readFirmwareVersion(text, sizeof text, emptyDefault);
  return text;
}

std::string lteVersion() {
  char text[hbn::kLteTextSize];
  std::memset(text, 'x', sizeof text);
  hbn::readLteVersion(text, sizeof text);
  return text;
}

TEST_F(DeviceInfoTest, FirmwareVersionLineRules) {
  EXPECT_EQ("", firmware());  // no file
  struct Case {
    const char* content;
    const char* expected;
  } cases[] = {
      {"02.01.00.05\r\n", "02.01.00.05"},
      {"02.01.00.05", "02.01.00.05"},
      {"02.01.00.05\nsecond\n", "02.01.00.05"},
      {"", "01.00.03.01"},  // empty file: the caller's default
      {"\n02.00\n", ""},    // an empty first line is a value
      {"a\r\r\n", "a\r"},   // one carriage return only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    box.write("/etc/build.info", c.content);
    EXPECT_EQ(c.expected, firmware());
  }
  box.write("/etc/build.info", "");
  EXPECT_EQ("01.00.00.09", firmware("01.00.00.09"));

  // At most 511 characters, whatever the line's length and ending.
  box.write("/etc/build.info", std::string(900, '7') + "\n");
  EXPECT_EQ(std::string(511, '7'), firmware());
  box.write("/etc/build.info", std::string(511, '7') + "\r\n");
  EXPECT_EQ(std::string(511, '7'), firmware());

  // A small destination is cut and terminated.
  box.write("/etc/build.info", "02.01.00.05\n");
  char small[6];
  EXPECT_EQ(5u, hbn::readFirmwareVersion(small, sizeof small, kRouterDefault));
  EXPECT_STREQ("02.01", small);
}

TEST_F(DeviceInfoTest, LteVersionIsTheThirdLineWithTheVersionFileOnlyWhenMissing) {
  EXPECT_EQ("", lteVersion());  // neither file
  box.write("/var/lte0_ver.inf", "VER-FILE\r\nrest\n");
  EXPECT_EQ("VER-FILE", lteVersion());

  box.write("/var/lte0_ati.inf", "Manufacturer\nModel\nREV-1.2\r\nmore\n");
  EXPECT_EQ("REV-1.2", lteVersion());
  box.write("/var/lte0_ati.inf", "Manufacturer\nModel\n");  // two lines: empty, no fallback
  EXPECT_EQ("", lteVersion());
  box.write("/var/lte0_ati.inf", "");
  EXPECT_EQ("", lteVersion());
  // An over-long first line is cut, not counted as several lines.
  box.write("/var/lte0_ati.inf", std::string(700, 'm') + "\nModel\nREV-3\n");
  EXPECT_EQ("REV-3", lteVersion());
  box.write("/var/lte0_ati.inf", "a\nb\n" + std::string(300, 'r'));
  EXPECT_EQ(std::string(255, 'r'), lteVersion());
}

TEST_F(DeviceInfoTest, WanAddressTellsWhetherTheFileExists) {
  char address[hbn::kWanAddressSize];
  std::memset(address, 'x', sizeof address);
  EXPECT_FALSE(hbn::readWanAddress(address, sizeof address));
  EXPECT_STREQ("", address);

  box.write("/var/lte0_gip.inf", "203.0.113.7\nother\n");
  EXPECT_TRUE(hbn::readWanAddress(address, sizeof address));
  EXPECT_STREQ("203.0.113.7", address);
  box.write("/var/lte0_gip.inf", "");
  EXPECT_TRUE(hbn::readWanAddress(address, sizeof address));
  EXPECT_STREQ("", address);
  box.write("/var/lte0_gip.inf", std::string(45, '9') + "\n");
  EXPECT_TRUE(hbn::readWanAddress(address, sizeof address));
  EXPECT_EQ(std::string(31, '9'), address);
}

TEST_F(DeviceInfoTest, ClockSynchronisedOnlyWhenTheFirstCharacterIsTwo) {
  EXPECT_EQ(0, hbn::clockSynchronised());
  struct Case {
    const char* content;
    int expected;
  } cases[] = {{"2\n", 1}, {"2", 1}, {"20", 1}, {"1\n", 0}, {"", 0}, {"\n2\n", 0}, {" 2", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    box.write("/var/tmp/timeStatus", c.content);
    EXPECT_EQ(c.expected, hbn::clockSynchronised());
  }
}

TEST_F(DeviceInfoTest, LoginPasswordChangedComparesWithTheFactoryValues) {
  apmib_init();
  EXPECT_EQ(0, hbn::loginPasswordChanged());
  char changed[] = "operator";
  char factory[] = "admin";
  for (int id : {182, 183}) {
    SCOPED_TRACE(id);
    ASSERT_EQ(1, apmib_set(id, changed));
    EXPECT_EQ(1, hbn::loginPasswordChanged());
    ASSERT_EQ(1, apmib_set(id, factory));
    EXPECT_EQ(0, hbn::loginPasswordChanged());
  }
}

TEST_F(DeviceInfoTest, InterfaceAddressesOrZeros) {
  uint8_t mac[6];
  uint8_t ip[4];
  std::memset(mac, 0xAA, sizeof mac);
  std::memset(ip, 0xAA, sizeof ip);
  hbn::readInterfaceInfo("lo", mac, ip);
  const uint8_t zeros[6] = {};
  const uint8_t loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(0, std::memcmp(zeros, mac, 6));
  EXPECT_EQ(0, std::memcmp(loopback, ip, 4));

  std::memset(ip, 0xAA, sizeof ip);
  hbn::readInterfaceInfo("nosuchif0", mac, ip);
  EXPECT_EQ(0, std::memcmp(zeros, ip, 4));
}

TEST_F(DeviceInfoTest, LteIdentityFiles) {
  char text[hbn::kLteTextSize];
  EXPECT_EQ(0u, hbn::readLteImei(text, sizeof text));  // missing
  EXPECT_STREQ("", text);
  box.write("/var/lte_imei.inf", "");
  EXPECT_EQ(0u, hbn::readLteImei(text, sizeof text));
  box.write("/var/lte_imei.inf", "356938035643809\r\n");
  hbn::readLteImei(text, sizeof text);
  EXPECT_STREQ("356938035643809", text);

  box.write("/var/lte_sno.inf", std::string(300, 's') + "\n");
  EXPECT_EQ(255u, hbn::readLteSerial(text, sizeof text));
  EXPECT_EQ(std::string(255, 's'), text);
}

TEST_F(DeviceInfoTest, BuildVersionFileHasNoLineEnd) {
  box.write("/var/pqv_version", "an older and longer version text\n");
  EXPECT_EQ(0, hbn::writeBuildVersion("02.01.00.05"));
  EXPECT_EQ("02.01.00.05", box.read("/var/pqv_version"));
  // Cannot be opened (a directory stands there): skipped, reported to the caller.
  hbntest::Sandbox other;
  other.mkdirs("/var/pqv_version");
  EXPECT_EQ(-1, hbn::writeBuildVersion("02.01.00.05"));
}

}  // namespace
