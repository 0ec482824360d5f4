// The request handling shared by the router and OTA agents, driven with a recording host: the
// control kinds (platform commands recorded by fakes in a private root), uploads in order,
// update URLs, netinfo, refused payloads, and the log lines under the caller's handler name.
#include "cloud_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud_payload.h"
#include "hbn_log_capture.h"
#include "hbn_test.h"
#include "hbn_wait.h"
#include "mqtt_request.h"

namespace {

const char kFunc[] = "HBN_cloud_commMqttRecvControl";

class RecordingHost : public hbn::CloudRequestHost {
 public:
  char* incoming(size_t* capacity) override {
    *capacity = sizeof in;
    return in;
  }
  void queueUpload(hbn::ConfigDump which) override { calls.push_back("upload " + std::to_string(which)); }
  void resetMqtt() override { calls.push_back("reset"); }
  int firmwareUpdate(const char* url, const char* checksumUrl) override {
    calls.push_back(std::string("fw ") + url + " " + checksumUrl);
    return 1;
  }
  int certUpdate(const char* url, const char* checksumUrl) override {
    calls.push_back(std::string("cert ") + url + " " + checksumUrl);
    return 1;
  }
  void publishConfigError(const char* name, const char* text, size_t length) override {
    calls.push_back(std::string("err ") + name + " " + std::string(text, length));
  }
  void publishNetInfo(const char* ifname) override { calls.push_back(std::string("netinfo ") + ifname); }

  char in[64];
  std::vector<std::string> calls;
};

class CloudRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* command : {"reboot", "auxlink", "sysconf", "kv_lte_reset.sh"}) sb_.fakeCommand(command);
  }
  void control(const std::string& payload) {
    hbntest::captureStderr(
        [&] { hbn::cloudRecvControl(kFunc, host_, payload.data(), static_cast<int>(payload.size())); });
  }

  hbntest::Sandbox sb_;
  hbntest::SyslogRecorder log_;
  RecordingHost host_;
};

TEST_F(CloudRequests, RebootKindsRunTheirCommandsOrResetTheSession) {
  struct Case {
    const char* kind;
    const char* command;  // the fake that must record one call, null for none
    const char* arguments;
  };
  const Case cases[] = {
      {"all", "reboot", "\n"},
      {"hard_reset", "auxlink", "-r\n"},
      {"ipsec_reset", "sysconf", "conn l2tp_ipsec reconfig\n"},
      {"l2tp_reset", "sysconf", "conn l2tp_ipsec reconfig\n"},
      {"l2tpOverIpsec_reset", "sysconf", "conn l2tp_ipsec reconfig\n"},
      {"lte_module", "kv_lte_reset.sh", "\n"},
      {"soft_reset", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    for (const char* command : {"reboot", "auxlink", "sysconf", "kv_lte_reset.sh"})
      unlink(sb_.path(std::string("/record/") + command).c_str());
    control(std::string("{\"reboot\":\"") + c.kind + "\",\"upload\":\"config\"}");
    for (const char* command : {"reboot", "auxlink", "sysconf", "kv_lte_reset.sh"}) {
      bool expected = c.command != nullptr && std::string(c.command) == command;
      EXPECT_EQ(sb_.recorded(command), expected ? c.arguments : "") << c.kind << " " << command;
    }
    EXPECT_TRUE(hbntest::loggedBy(kFunc, std::string("MQTT Request(reboot):kind=[") + c.kind + "]\n"));
  }
  // "reboot" won every time: nothing was uploaded.
  EXPECT_TRUE(host_.calls.empty());
  control("{\"reboot\":\"mqtt_reset\"}");
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"reset"}));
  EXPECT_EQ(hbntest::logCount("param unknown"), 0);
}

TEST_F(CloudRequests, UploadKindsQueueTheirDumpsInOrder) {
  control("{\"upload\":\"config\"}");
  control("{\"upload\":\"config-user\"}");
  control("{\"upload\":\"config-info\"}");
  control("{\"upload\":\"config-server\"}");
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"upload 0", "upload 1", "upload 2", "upload 2", "upload 0",
                                                   "upload 1"}));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT Request(upload):kind=[config-user]\n"));
}

TEST_F(CloudRequests, BadControlRequestsAreLoggedUnderTheHandlersName) {
  control("{\"upload\":\"everything\"}");
  control("{\"reboot\":\"now\"}");
  control("{\"reboot\":1,\"upload\":\"config\"}");  // "reboot" wins, whatever its type
  control("[\"reboot\"]");                          // JSON, but no members at all
  control("reboot");                                // not JSON
  control(std::string(100, ' '));                   // longer than the host's buffer
  EXPECT_TRUE(host_.calls.empty());
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT Request(param unknown):kind=[everything]\n"));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT Request(param unknown):kind=[now]\n"));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT Request(param unknown):kind=[1]\n"));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT json parse(reboot or upload) fail\n"));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT json parse fail\n"));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT payload too long(100)\n"));
  EXPECT_EQ(sb_.recorded("reboot"), "");
}

TEST_F(CloudRequests, UpdatesHandBothUrlsToTheHostOrNothing) {
  const std::string both = "{\"download_url\":\"http://a/f\",\"checksum_url\":\"http://a/c\"}";
  const std::string noChecksum = "{\"download_url\":\"http://a/f\"}";
  hbntest::captureStderr([&] {
    hbn::cloudRecvUpdate("HBN_cloud_commMqttRecvFwUpdate", host_, hbn::kFirmwareHandoff, both.data(),
                         static_cast<int>(both.size()));
    hbn::cloudRecvUpdate("HBN_cloud_commMqttRecvTlsUpdate", host_, hbn::kCertificateHandoff, both.data(),
                         static_cast<int>(both.size()));
    hbn::cloudRecvUpdate("HBN_cloud_commMqttRecvTlsUpdate", host_, hbn::kCertificateHandoff,
                         noChecksum.data(), static_cast<int>(noChecksum.size()));
  });
  EXPECT_EQ(host_.calls,
            (std::vector<std::string>{"fw http://a/f http://a/c", "cert http://a/f http://a/c"}));
  EXPECT_TRUE(
      hbntest::loggedBy("HBN_cloud_commMqttRecvFwUpdate", "MQTT Request(fw update):urlt=[http://a/c]\n"));
  EXPECT_TRUE(hbntest::loggedBy("HBN_cloud_commMqttRecvTlsUpdate", "MQTT Request(cert update)\n"));
  EXPECT_TRUE(hbntest::loggedBy("HBN_cloud_commMqttRecvTlsUpdate", "MQTT json parse(checksum_url) fail\n"));
}

TEST_F(CloudRequests, NetInfoAndItsPayload) {
  const std::string lo = "{\"ifname\":\"lo\"}";
  const std::string none = "{\"ifname\":7}";
  hbntest::captureStderr([&] {
    hbn::cloudRecvNetInfo("HBN_cloud_commMqttRecvNetInfo", host_, lo.data(), static_cast<int>(lo.size()));
    hbn::cloudRecvNetInfo("HBN_cloud_commMqttRecvNetInfo", host_, none.data(), static_cast<int>(none.size()));
  });
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"netinfo lo"}));
  EXPECT_TRUE(hbntest::loggedBy("HBN_cloud_commMqttRecvNetInfo", "MQTT json parse(ifname) fail\n"));

  char buffer[256];
  HBN_text_t text(buffer, sizeof buffer);
  hbn::netInfoPayload(text, "lo");
  EXPECT_STREQ(buffer, "{\"ifname\":\"lo\",\"mac\":\"000000000000\",\"ipv4\":\"127.0.0.1\"}");
  HBN_text_t missing(buffer, sizeof buffer);
  hbntest::captureStderr([&] { hbn::netInfoPayload(missing, "no\"such"); });
  EXPECT_STREQ(buffer, "{\"ifname\":\"no\\\"such\",\"mac\":\"000000000000\",\"ipv4\":\"0.0.0.0\"}");
}

TEST(CloudPayloadPieces, PowerOnTextIsTheStoredTimeWithTheFixedZone) {
  char out[64];
  hbn::powerOnText(0, out, sizeof out);
  EXPECT_STREQ(out, "1970-01-01T00:00:00+09:00");
  hbn::powerOnText(1700000000, out, sizeof out);
  EXPECT_STREQ(out, "2023-11-14T22:13:20+09:00");
}

}  // namespace

namespace {

// A document that is JSON but not an object is configtool's to judge: it goes to the load, and
// configtool's error document goes back to the cloud.
TEST_F(CloudRequests, ConfigurationDocumentsOtherThanObjectsReachConfigtool) {
  sb_.fakeCommand("configtool", "printf '{\"setting_error\":\"not an object\"}' > \"$3\"; exit 1");
  const std::string document = "[1,2]";
  int result = 0;
  hbntest::captureStderr([&] {
    result = hbn::cloudRecvConfigExecute("HBN_cloud_commMqttRecvConfigExecute", host_, "noreboot",
                                         document.data(), static_cast<int>(document.size()));
  });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(sb_.recorded("configtool"),
            "loadJsonCfg " + sb_.path("/tmp/tmpCfg.json") + " " + sb_.path("/tmp/tmpErr.json") + "\n");
  EXPECT_EQ(sb_.read("/tmp/tmpCfg.json"), document);
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"err noreboot {\"setting_error\":\"not an object\"}"}));
  EXPECT_EQ(hbntest::logCount("MQTT json parse fail"), 0);
}

// The payload dump shows every byte, a NUL among them, on one line.
TEST(RequestDumps, PayloadBytesAreShownAsTheyAre) {
  const char payload[] = {'a', '\0', 'b'};
  std::string out = hbntest::captureStderr([&] { hbn::dumpPayloadText(payload, 3); });
  EXPECT_EQ(out, std::string("DUMP-payload=a\0b\n", 17));
}

}  // namespace
