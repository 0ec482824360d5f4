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
// The dumps show every byte the network sent, control bytes escaped so that no line of the
// agent's own can be forged; other bytes (UTF-8 text too) stay as they are.
TEST(RequestDumps, PayloadAndTopicBytesAreShownWithControlBytesEscaped) {
  struct Case {
    std::string bytes, shown;
  } cases[] = {
      {std::string("a\0b", 3), "a\\x00b"},
      {"{\"url\":\"x\"}\nKV_TX440:FAIL OVER!!!!!!", "{\"url\":\"x\"}\\nKV_TX440:FAIL OVER!!!!!!"},
      {"\xe7\xaf\x84\r\x1b[2J", "\xe7\xaf\x84\\r\\x1b[2J"},
  };
  for (const Case& c : cases) {
    std::string out = hbntest::captureStderr([&] {
      hbn::dumpPayloadText(c.bytes.data(), static_cast<int>(c.bytes.size()));
      hbn::dumpTopic(c.bytes.data(), static_cast<int>(c.bytes.size()));
    });
    EXPECT_EQ(out, "DUMP-payload=" + c.shown + "\nDUMP-topic=" + std::to_string(c.bytes.size()) + "," +
                       c.shown + "\n");
  }
}

}  // namespace

namespace {

// A request string is compared whole: a NUL inside, and whatever follows it, makes it no kind
// at all, so nothing runs; the log shows the whole text.
TEST_F(CloudRequests, AStringWithANulInsideMatchesNoKind) {
  control("{\"reboot\":\"all\\u0000; touch PWNED\"}");
  control("{\"reboot\":\"hard_reset\\u0000x\"}");
  control("{\"upload\":\"config-user\\u0000x\"}");
  const std::string update = "{\"download_url\":\"a\\u0000x\",\"checksum_url\":\"c\"}";
  hbntest::captureStderr([&] {
    hbn::cloudRecvUpdate("HBN_cloud_commMqttRecvFwUpdate", host_, hbn::kFirmwareHandoff, update.data(),
                         static_cast<int>(update.size()));
  });
  EXPECT_TRUE(host_.calls.empty());
  EXPECT_EQ(sb_.recorded("reboot"), "");
  EXPECT_EQ(sb_.recorded("auxlink"), "");
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT Request(param unknown):kind=[all\\x00; touch PWNED]\n"));
  EXPECT_TRUE(hbntest::loggedBy(kFunc, "MQTT Request(param unknown):kind=[config-user\\x00x]\n"));
  EXPECT_TRUE(hbntest::loggedBy("HBN_cloud_commMqttRecvFwUpdate", "MQTT json parse(download_url) fail\n"));
}

// A load that configtool did not carry out and that left no whole error document of its own is
// answered with configtool's document for settings that were not saved; the box does not reboot.
TEST_F(CloudRequests, ALoadThatFailedWithoutAWholeErrorDocumentIsAnsweredWithTheFallback) {
  setenv("HBN_TIME_SCALE", "1000", 1);  // configtool's 30 s bound: its least, 5 s
  struct Case {
    const char* name;
    const char* configtool;  // the fake's body; null: no configtool at all
  } cases[] = {
      {"exits 1, no document", "exit 1"},
      {"killed", "kill -9 $$"},
      {"hangs", "exec sleep 30"},
      {"missing", nullptr},
      {"empty document", ": > \"$3\"; exit 1"},
      {"half a document", "printf '{\"setting_error\":{\"mode\"' > \"$3\"; exit 1"},
  };
  const std::string document = "{\"setting\":{\"mode\":\"mobile\"}}";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_.calls.clear();
    unlink(sb_.path("/bin/configtool").c_str());
    if (c.configtool != nullptr) sb_.fakeCommand("configtool", c.configtool);
    int result = 0;
    hbntest::captureStderr([&] {
      result = hbn::cloudRecvConfigExecute("HBN_cloud_commMqttRecvConfigExecute", host_, "reboot",
                                           document.data(), static_cast<int>(document.size()));
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(host_.calls,
              (std::vector<std::string>{std::string("err reboot ") + hbn::kLoadNotDoneDocument}));
    EXPECT_EQ(sb_.recorded("reboot"), "");
  }
  unsetenv("HBN_TIME_SCALE");
}

// A dump goes out only whole: configtool succeeded, the JSON parses, the report is not empty.
// Otherwise nothing is published (the cloud asks again) and the reason is logged.
TEST_F(CloudRequests, OnlyWholeDumpsArePublished) {
  struct Case {
    hbn::ConfigDump which;
    const char* configtool;
    bool published;
    const char* reason;
  } cases[] = {
      {hbn::kDumpUser, "printf '{\"setting\":{}}\\n' > \"$2\"", true, nullptr},
      {hbn::kDumpUser, "printf '{\"setting\":{\"mo' > \"$2\"; kill -9 $$", false, "configtool"},
      {hbn::kDumpUser, "printf '{\"setting\":{\"mo' > \"$2\"", false, "not whole"},
      {hbn::kDumpUser, "printf '{\"setting\":{\"mode\":\"}}' > \"$2\"", false, "not whole"},
      {hbn::kDumpUser, "cat \"$HBN_ROOT/quoted.json\" > \"$2\"", true, nullptr},
      {hbn::kDumpServer, ": > \"$2\"", false, "empty"},
      {hbn::kDumpServer, "printf '{}' > \"$2\"; exit 1", false, "configtool"},
      {hbn::kDumpInfo, ": > \"$2\"", false, "empty"},
      {hbn::kDumpInfo, "echo report > \"$2\"", true, nullptr},
      {hbn::kDumpInfo, "exit 0", false, "no file"},
  };
  // A quote and a brace inside a string value do not end the document.
  sb_.write("/quoted.json", "{\"setting\":{\"m\":\"a\\\"}\"}}\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.configtool);
    hbntest::SyslogRecorder::clear();
    sb_.fakeCommand("configtool", c.configtool);
    char out[256];
    long length = hbn::runConfigDump("dumper", c.which, "/tmp/dumpCfg.json", "config/user", out, sizeof out);
    EXPECT_EQ(length > 0, c.published) << length;
    if (c.reason != nullptr) {
      EXPECT_TRUE(hbntest::loggedBy("dumper",
                                    std::string("configuration dump fail(") + c.reason + "):config/user\n"));
    }
    EXPECT_FALSE(sb_.exists("/tmp/dumpCfg.json"));
  }
}

// The fixed work files under /tmp are never written through a link planted there: the payload
// file and the dump path are made anew, the lock file is refused when it is a link.
TEST_F(CloudRequests, LinksPlantedAtTheWorkFilesAreNeverFollowed) {
  sb_.write("/victim", "precious");
  const std::string victim = sb_.path("/victim");
  sb_.fakeCommand("configtool", "[ \"$1\" = dumpJsonCfg ] && printf '{\"setting\":{}}' >> \"$2\"; exit 0");
  for (const char* fixed : {"/tmp/tmpCfg.json", "/tmp/dumpCfg.json"})
    ASSERT_EQ(symlink(victim.c_str(), sb_.path(fixed).c_str()), 0);
  const std::string document = "{\"setting\":{}}";
  hbntest::captureStderr([&] {
    hbn::cloudRecvConfigExecute("HBN_cloud_commMqttRecvConfigExecute", host_, "noreboot", document.data(),
                                static_cast<int>(document.size()));
  });
  char out[256];
  EXPECT_GT(hbn::runConfigDump("dumper", hbn::kDumpUser, "/tmp/dumpCfg.json", "config/user", out, sizeof out),
            0);
  EXPECT_EQ(sb_.read("/victim"), "precious");

  // A link at the lock file: no configtool run, no file created at its target.
  const std::string lockTarget = sb_.path("/lock-target");
  unlink(sb_.path("/tmp/hbn_configtool.lock").c_str());
  ASSERT_EQ(symlink(lockTarget.c_str(), sb_.path("/tmp/hbn_configtool.lock").c_str()), 0);
  unlink(sb_.path("/record/configtool").c_str());
  EXPECT_EQ(hbn::runConfigDump("dumper", hbn::kDumpUser, "/tmp/dumpCfg.json", "config/user", out, sizeof out),
            -3);
  EXPECT_EQ(sb_.recorded("configtool"), "");
  EXPECT_FALSE(sb_.exists("/lock-target"));
}

}  // namespace
