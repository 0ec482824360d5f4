// WAN judgement against the apmib stand-in in a private root: main/sub by WAN mode, role swap
// and cloud enables, the fail-over settings of both check methods, the USB interface name and
// the per-link check settings.
#include "wan_judge.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "apmib.h"
#include "hbn_log_capture.h"
#include "hbn_test.h"

namespace {

using hbntest::loggedBy;
using hbntest::SyslogRecorder;

constexpr char kFunc[] = "KV_VENTO_api_judgeNet";

class WanJudgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apmib_init();
    SyslogRecorder::start();
  }
  void TearDown() override { HBN_log_setSyslogHook(nullptr); }

  static void setByte(int id, int value) {
    uint8_t v = static_cast<uint8_t>(value);
    ASSERT_EQ(1, apmib_set(id, &v));
  }
  static void setInt(int id, int32_t value) { ASSERT_EQ(1, apmib_set(id, &value)); }
  static void setText(int id, const std::string& text) {
    ASSERT_EQ(1, apmib_set(id, const_cast<char*>(text.c_str())));
  }
  void usbDriver(const std::string& uevent) { box.write("/sys/class/net/usb1/device/uevent", uevent); }

  static WanJudgement judge(int* dual) {
    WanJudgement r;
    std::memset(&r, 0x5A, sizeof r);  // every field must be set by the judgement
    EXPECT_EQ(0, KV_VENTO_api_judgeNet(&r, dual));
    return r;
  }

  // True when every line written under the judgement's name is a Debug line.
  static bool allJudgeLinesDebug() {
    for (const auto& entry : SyslogRecorder::lines())
      if (entry.second.find(std::string("/") + kFunc + "[") != std::string::npos &&
          entry.second.compare(0, 6, "HBN-D/") != 0)
        return false;
    return true;
  }

  hbntest::Sandbox box;
};

struct DualCase {
  const char* what;
  int mode, swap, failover;
  int enable1, enable2, enable0;  // cloud enables of the type 1, 2 and 0 blocks
  int mainType, subType;
  const char* mainIf;
  const char* subIf;
  int pingMain, pingSub;
};

TEST_F(WanJudgeTest, DualWanMainAndSubByModeSwapAndCloudEnable) {
  const DualCase cases[] = {
      {"mode 0", 0, 0, 0, 1, 1, 1, 1, 2, "usb1", "ppp0", 1, 2},
      {"mode 0 swapped", 0, 1, 0, 1, 1, 1, 2, 1, "ppp0", "usb1", 2, 1},
      {"fail-over keeps the default order", 0, 1, 1, 1, 1, 1, 1, 2, "usb1", "ppp0", 1, 2},
      {"mode 1", 1, 0, 0, 1, 1, 1, 0, 1, "eth0", "usb1", 0, 1},
      {"mode 1 swapped", 1, 1, 0, 1, 1, 1, 1, 0, "usb1", "eth0", 1, 0},
      {"mode 2", 2, 0, 1, 1, 1, 1, 0, 2, "eth0", "wwan0", 0, 2},
      {"mode 2 swapped", 2, 1, 0, 1, 1, 1, 2, 0, "wwan0", "eth0", 2, 0},
      {"mode 3", 3, 0, 1, 1, 1, 1, 0, -1, "", "", 0, -1},
      {"mode 3 swap ignored", 3, 1, 0, 1, 1, 1, 0, -1, "", "", 0, -1},
      {"unknown mode like 3", 9, 1, 0, 1, 1, 1, 0, -1, "", "", 0, -1},
      {"sub cloud disabled", 1, 0, 1, 0, 1, 1, 0, -1, "eth0", "usb1", 0, 1},
      {"main cloud disabled", 2, 0, 0, 1, 1, 0, -1, 2, "eth0", "wwan0", 0, 2},
      {"all clouds disabled", 0, 1, 0, 0, 0, 0, -1, -1, "ppp0", "usb1", 2, 1},
  };
  for (const DualCase& c : cases) {
    SCOPED_TRACE(c.what);
    setByte(7155, 1);
    setByte(7144, c.mode);
    setByte(7158, c.swap);
    setByte(7157, c.failover);
    setByte(7101, c.enable1);
    setByte(7115, c.enable2);
    setByte(7129, c.enable0);
    int dual = -7;
    WanJudgement r = judge(&dual);
    EXPECT_EQ(1, dual);
    EXPECT_EQ(c.mainType, r.mainType);
    EXPECT_EQ(c.subType, r.subType);
    EXPECT_STREQ(c.mainIf, r.mainIf);
    EXPECT_STREQ(c.subIf, r.subIf);
    EXPECT_EQ(c.pingMain, r.pingMainType);
    EXPECT_EQ(c.pingSub, r.pingSubType);
    EXPECT_EQ(c.failover, r.failoverEnable);
  }
}

TEST_F(WanJudgeTest, SingleWanBySelectorWithoutCloudEnables) {
  struct Case {
    int mode, selector, mainType;
  } cases[] = {{0, 0, 1}, {0, 1, 2}, {0, 2, 0}, {1, 1, 1}, {1, 0, 0}, {1, 2, 0},
               {2, 1, 2}, {2, 0, 0}, {2, 2, 0}, {3, 1, 0}, {3, 0, 0}};
  // Settings that a dual set-up would use must not leak into a single one.
  setByte(7157, 1);
  setByte(7158, 1);
  setByte(7159, 1);
  setText(7162, "ping.example");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " selector " << c.selector);
    setByte(7155, 0);
    setByte(7144, c.mode);
    setByte(7156, c.selector);
    int dual = -7;
    WanJudgement r = judge(&dual);
    EXPECT_EQ(0, dual);
    EXPECT_EQ(c.mainType, r.mainType);  // cloud enables are all 0 and not consulted
    EXPECT_EQ(-1, r.subType);
    EXPECT_STREQ("", r.mainIf);
    EXPECT_STREQ("", r.subIf);
    EXPECT_EQ(-1, r.pingMainType);
    EXPECT_EQ(-1, r.pingSubType);
    EXPECT_EQ(0, r.failoverEnable);
    EXPECT_EQ(0, r.checkMethod);
    EXPECT_STREQ("", r.pingHost);
  }
  EXPECT_FALSE(loggedBy(kFunc, "mqtt or ping=", true));
}

TEST_F(WanJudgeTest, EmptyStoreIsASingleWiredWan) {
  int dual = -7;
  WanJudgement r = judge(&dual);
  EXPECT_EQ(0, dual);
  EXPECT_EQ(0, r.mainType);
  EXPECT_EQ(-1, r.subType);
  EXPECT_EQ(-1, KV_VENTO_api_judgeNet(nullptr, &dual));
  EXPECT_EQ(0, dual);
  EXPECT_EQ(0, KV_VENTO_api_judgeNet(&r, nullptr));
}

// Fail-over settings are read only in dual mode with fail-over enabled and a mode other than 3.
TEST_F(WanJudgeTest, FailoverSettingsOnlyWithFailoverOutsideModeThree) {
  setByte(7155, 1);
  setByte(7159, 1);
  setText(7162, "ping.example");
  setInt(7163, 10);
  for (int mode : {1, 3}) {
    for (int failover : {0, 1}) {
      if (mode == 1 && failover == 1) continue;
      SCOPED_TRACE(::testing::Message() << "mode " << mode << " fail-over " << failover);
      SyslogRecorder::clear();
      setByte(7144, mode);
      setByte(7157, failover);
      WanJudgement r = judge(nullptr);
      EXPECT_EQ(0, r.checkMethod);
      EXPECT_STREQ("", r.pingHost);
      EXPECT_EQ(0, r.pingInterval);
      EXPECT_FALSE(loggedBy(kFunc, "mqtt or ping=", true));
    }
  }
}

TEST_F(WanJudgeTest, PingMethodSettingsAndLogLines) {
  setByte(7155, 1);
  setByte(7144, 2);
  setByte(7157, 1);
  setByte(7159, 2);
  setText(7162, "ping.example");
  setInt(7163, 10);
  setInt(7164, 3);
  setByte(7165, 1);
  setInt(7166, 5);
  setByte(7160, 1);  // MQTT-mode values are not used by the ping method
  setInt(7161, 4);
  WanJudgement r = judge(nullptr);
  EXPECT_EQ(2, r.checkMethod);
  EXPECT_STREQ("ping.example", r.pingHost);
  EXPECT_EQ(10, r.pingInterval);
  EXPECT_EQ(3, r.pingFailoverCount);
  EXPECT_EQ(1, r.failbackEnable);
  EXPECT_EQ(5, r.pingFailbackCount);
  EXPECT_EQ(0, r.failbackSeconds);
  EXPECT_TRUE(loggedBy(kFunc, "mqtt or ping=2\n"));
  EXPECT_TRUE(loggedBy(kFunc, "ping:host            =ping.example\n"));
  EXPECT_TRUE(loggedBy(kFunc, "ping:interval        =10\n"));
  EXPECT_TRUE(loggedBy(kFunc, "ping:fail over count =3\n"));
  EXPECT_TRUE(loggedBy(kFunc, "ping:fail back enable=1\n"));
  EXPECT_TRUE(loggedBy(kFunc, "ping:fail back count =5\n"));
  EXPECT_TRUE(allJudgeLinesDebug());

  // An empty host zeroes the four numbers.
  SyslogRecorder::clear();
  setText(7162, "");
  r = judge(nullptr);
  EXPECT_EQ(2, r.checkMethod);
  EXPECT_STREQ("", r.pingHost);
  EXPECT_EQ(0, r.pingInterval);
  EXPECT_EQ(0, r.pingFailoverCount);
  EXPECT_EQ(0, r.failbackEnable);
  EXPECT_EQ(0, r.pingFailbackCount);
  EXPECT_TRUE(loggedBy(kFunc, "ping:host            =\n"));
  EXPECT_TRUE(loggedBy(kFunc, "ping:interval        =0\n"));
}

TEST_F(WanJudgeTest, MqttMethodFailbackNeedsAPositiveTime) {
  setByte(7155, 1);
  setByte(7144, 1);
  setByte(7157, 1);
  setByte(7159, 0);
  setText(7162, "ping.example");  // ping values are not used by the MQTT method
  setInt(7163, 10);
  struct Case {
    int enable;
    int32_t minutes;
    int expectEnable;
    int32_t expectSeconds;
  } cases[] = {
      {1, 5, 1, 300},   {1, 0, 0, 0},                                  // fail-back time 0 disables fail-back
      {1, -2, 0, -120}, {0, 5, 0, 300}, {1, INT32_MAX, 1, INT32_MAX},  // saturates instead of overflowing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.enable << "/" << c.minutes);
    SyslogRecorder::clear();
    setByte(7160, c.enable);
    setInt(7161, c.minutes);
    WanJudgement r = judge(nullptr);
    EXPECT_EQ(0, r.checkMethod);
    EXPECT_EQ(c.expectEnable, r.failbackEnable);
    EXPECT_EQ(c.expectSeconds, r.failbackSeconds);
    EXPECT_STREQ("", r.pingHost);
    EXPECT_EQ(0, r.pingInterval);
    EXPECT_TRUE(loggedBy(kFunc, "mqtt or ping=0\n"));
    EXPECT_TRUE(loggedBy(kFunc, "mqtt:enable=" + std::to_string(c.expectEnable) + "\n"));
    EXPECT_TRUE(loggedBy(kFunc, "mqtt:count =" + std::to_string(c.expectSeconds) + "\n"));
    EXPECT_TRUE(allJudgeLinesDebug());
  }
}

TEST_F(WanJudgeTest, UsbInterfaceNameFromTheDriver) {
  struct Case {
    const char* what;
    const char* uevent;  // nullptr: no file
    const char* name;
  } cases[] = {
      {"no file", nullptr, "usb1"},
      {"rndis_host", "DEVTYPE=usb_interface\nDRIVER=rndis_host\nPRODUCT=1/2/3\n", "usb1"},
      {"rndis_host without line end", "DRIVER=rndis_host", "usb1"},
      {"other driver", "DEVTYPE=usb_interface\nDRIVER=cdc_ether\n", "usb2"},
      {"first DRIVER= line decides", "DRIVER=cdc_ether\nDRIVER=rndis_host\n", "usb2"},
      {"no DRIVER= line", "DEVTYPE=usb_interface\nINTERFACE=2/6/0\n", "usb1"},
      {"not exactly rndis_host", "DRIVER=rndis_host \n", "usb2"},
      {"empty file", "", "usb1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.uevent != nullptr) usbDriver(c.uevent);
    char name[WAN_IFNAME_SIZE] = "x";
    wanUsbIfName(name, sizeof name);
    EXPECT_STREQ(c.name, name);
  }
  // The rest of an over-long line is not a line of its own.
  usbDriver("MODALIAS=" + std::string(300, 'm') + "DRIVER=cdc_ether\nDRIVER=rndis_host\n");
  char name[WAN_IFNAME_SIZE];
  wanUsbIfName(name, sizeof name);
  EXPECT_STREQ("usb1", name);

  // The judgement names the USB modem by its driver.
  usbDriver("DRIVER=cdc_ncm\n");
  setByte(7155, 1);
  setByte(7144, 0);
  setByte(7101, 1);
  WanJudgement r = judge(nullptr);
  EXPECT_EQ(1, r.mainType);
  EXPECT_STREQ("usb2", r.mainIf);
}

TEST_F(WanJudgeTest, LinkSettingsPerType) {
  // Type 1 block: link check 7112/7113, optimize 7114; type 2: 7126/7127; type 0: 7140/7141.
  setByte(7112, 1);
  setInt(7113, 2);
  setByte(7114, 1);
  setByte(7126, 1);
  setInt(7127, 3);
  setByte(7128, 1);  // optimize is only for type 1
  setByte(7140, 0);
  setInt(7141, 4);
  struct Case {
    int type;
    int32_t checkSeconds;
    int32_t optimize;
  } cases[] = {{1, 120, 1}, {2, 180, 0}, {0, 0, 0}, {-1, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    WanLinkSettings s = wanLinkSettings(c.type);
    EXPECT_EQ(c.checkSeconds, s.checkSeconds);
    EXPECT_EQ(c.optimize, s.optimize);
  }

  setByte(7140, 1);  // type 0 (and every other type) read the 7129 block
  EXPECT_EQ(240, wanLinkSettings(0).checkSeconds);
  EXPECT_EQ(240, wanLinkSettings(-1).checkSeconds);
  setInt(7141, -4);
  EXPECT_EQ(0, wanLinkSettings(0).checkSeconds);
  setInt(7141, INT32_MAX);
  EXPECT_EQ(INT32_MAX, wanLinkSettings(0).checkSeconds);

  // Optimize needs both the link check enable and the optimize enable of type 1.
  setByte(7112, 0);
  EXPECT_EQ(0, wanLinkSettings(1).optimize);
  EXPECT_EQ(0, wanLinkSettings(1).checkSeconds);
  setByte(7112, 1);
  setByte(7114, 0);
  EXPECT_EQ(0, wanLinkSettings(1).optimize);
  EXPECT_EQ(120, wanLinkSettings(1).checkSeconds);
}

}  // namespace
