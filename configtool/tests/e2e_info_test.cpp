// The information report, built by the configtool command against recording fakes of the
// platform commands and state scripts in the sandbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "configtool_fixture.h"

namespace {

// dash's echo prints "-e " where busybox's takes it as an option; strip it so the report
// reads as it does on the box.
std::string normalise(const std::string& report) {
  static const bool dashEcho = hbntest::run({"/bin/sh", "-c", "echo -e x"}).out == "-e x\n";
  if (!dashEcho) return report;
  std::string out;
  size_t start = 0;
  while (start < report.size()) {
    size_t end = report.find('\n', start);
    std::string line = report.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
    if (line.compare(0, 3, "-e ") == 0) line.erase(0, 3);
    out += line;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// The text after the banner of `title` up to the next banner (or the end).
std::string section(const std::string& report, const std::string& title) {
  size_t at = report.find("\n " + title + " \n*");
  if (at == std::string::npos) return "<no section " + title + ">";
  size_t from = report.find('\n', at + title.size() + 4) + 1;
  size_t next = report.find("\n*", from);
  return report.substr(from, next == std::string::npos ? std::string::npos : next + 1 - from);
}

class Report {
 public:
  // `certBody` is the fake certificate printer's script; empty runs the build's gettlsterm on
  // a real client certificate instead.
  Report(bool vpnOn, const std::string& certBody) {
    auto& box = store_.box();
    box.fakeCommand(
        "flash",
        "case \"$2\" in\n"
        "IPFILTER_ENABLED) echo IPFILTER_ENABLED=1;;\n"
        "IPFILTER_TBL) echo 'IPFILTER_TBL=192.168.0.5, 1, web'; echo 'IPFILTER_TBL=192.168.0.6, 3, both';;\n"
        "URLFILTER_MODE) echo URLFILTER_MODE=1;;\n"
        "URLFILTER_TBL) echo 'URLFILTER_TBL=bad.example, 0'; echo 'URLFILTER_TBL=good.example, 1';;\n"
        "KV_TCPIP_SSHD_WAN_ACCESS_ENABLED) echo KV_TCPIP_SSHD_WAN_ACCESS_ENABLED=1;;\n"
        "KV_VPN_ENABLED) echo KV_VPN_ENABLED=" +
            std::string(vpnOn ? "1" : "0") +
            ";;\n"
            "KV_IPSEC_ENABLED) echo KV_IPSEC_ENABLED=1;;\n"
            "KV_MQTT_SET_REV) echo 'KV_MQTT_SET_REV=\"rev-9\"';;\n"
            "*) echo \"$2=0\";;\n"
            "esac");
    box.fakeCommand("route", "echo 'route table'");
    box.fakeCommand("iptables", "echo \"iptables $*\"");
    box.fakeCommand("brctl", "echo 'bridge table'");
    if (certBody.empty()) {
      box.mkdirs("/jffs2/mqtt/cloud");
      hbntest::run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30", "-subj", "/CN=box", "-keyout",
                    box.path("/tmp/client.key"), "-out", box.path("/jffs2/mqtt/cloud/client.crt")});
      box.installProgram("gettlsterm");
    } else {
      box.fakeCommand("gettlsterm", certBody);
    }
    box.fakeCommand("kv_current_ip_get.sh",
                    "echo 203.0.113.5 > '" + box.path("/var/current_ip_info.inf") + "'");
    box.fakeCommand("kv_ipsec_state.sh", "echo 接続確立 > '" + box.path("/var/ipsec_state.inf") + "'");
    box.fakeCommand("kv_l2tp_state.sh", "echo 接続処理中 未接続 > '" + box.path("/var/l2tp_state.inf") + "'");
    box.write("/var/pqv_version", "1.2.3\n");
    box.write("/var/sys_ver.inf", "sys-4\n");
    box.write("/var/lte0_ver.inf", "lte-5\n");
    box.write("/var/lte0_imei.inf", "351234567890123\n");
    result_ = store_.configtool({"dumpInfo", store_.path("info.txt")});
    text_ = normalise(store_.readTmp("info.txt"));
  }
  const std::string& text() const { return text_; }
  const hbntest::Result& result() const { return result_; }
  const cttest::Store& store() const { return store_; }

 private:
  cttest::Store store_;
  hbntest::Result result_;
  std::string text_;
};

const char kGoodCert[] = "echo 'notBefore:2020/01/31 00:00:00'; echo 'notAfter:2030/01/31 23:59:59'";

TEST(ConfigtoolInfo, SectionsInOrderWithVpnDetails) {
  Report report(true, kGoodCert);
  ASSERT_EQ(report.result().status, 0) << report.result().err;
  const std::string& text = report.text();
  const char* titles[] = {"ip route",
                          "iptables:filter",
                          "iptables:nat",
                          "bridge",
                          "firewall:IP filter",
                          "firewall:URL filter",
                          "firewall:port forward",
                          "firewall:Application filter",
                          "Current IP",
                          "Information",
                          "VPN status",
                          "Config Setting"};
  size_t last = 0;
  for (const char* title : titles) {
    size_t at = text.find(std::string(" ") + title + " \n");
    ASSERT_NE(at, std::string::npos) << title;
    EXPECT_GT(at, last) << title;
    last = at;
  }
  EXPECT_EQ(text.compare(0, 22, "**********\n ip route \n"), 0) << text.substr(0, 40);
  EXPECT_EQ(section(text, "ip route"), "\nroute table\n\n\n");
  EXPECT_EQ(section(text, "iptables:nat"), "\niptables -t nat -nvL\n\n\n");
  EXPECT_EQ(section(text, "firewall:IP filter"),
            "\nIP filter\t: ENABLED\n\nlocal address,\t\tprotcol,\tcomment \n"
            "--------------------------------------------------------\n"
            "192.168.0.5,\t\tTCP,\t\tweb\n192.168.0.6,\t\tTCP/UDP,\tboth\n\n\n");
  EXPECT_EQ(section(text, "firewall:URL filter"),
            "\nURL filter\t: DISABLED\nSelected_List : White\n\nKeyword\t, BlackList/WhiteList \n"
            "--------------------------------\nbad.example\t, BlackList\ngood.example\t, WhiteList\n\n\n");
  EXPECT_EQ(section(text, "iptables:filter"), "\niptables -nvL\n\n\n");
  EXPECT_EQ(section(text, "bridge"), "\nbridge table\n\n\n");
  // The rows need busybox sed; the switch line and the header come out everywhere.
  const std::string portForward =
      "\nPort forward : DISABLED\n\nlocal IP,\t\tlocal port,\tprotcol,\tremote IP,\t\tremote port,\tstatus,"
      "\t\tcomment \n" +
      std::string(128, '-') + "\n";
  EXPECT_EQ(section(text, "firewall:port forward").compare(0, portForward.size(), portForward), 0)
      << section(text, "firewall:port forward");
  EXPECT_EQ(section(text, "firewall:Application filter"),
            "\nIgmpProxy\t\t: DISABLED\nPingResponse for WAN\t: DISABLED\nSSH Acsess from WAN\t: ENABLED\n"
            "WebUI Acsess from WAN\t: DISABLED\nIPsec(VPN) Passthrough\t: DISABLED\n"
            "PPTP(VPN) Passthrough\t: DISABLED\nL2TP(VPN) Passthrough\t: DISABLED\n"
            "IPv6 Passthrough\t: DISABLED\n\n\n");
  EXPECT_EQ(section(text, "Current IP"), "\n203.0.113.5\n\n\n");
  EXPECT_EQ(section(text, "Information"),
            "\nFW version (LAN)\t: 1.2.3\nSYS version (LAN)\t: sys-4\nFW version (LTE)\t: lte-5\n"
            "IMEI2\t\t\t: 351234567890123\nTLS client exp.\t\t: 2030-01-31\nserver-config(revision)\t: "
            "rev-9\n\n\n");
  EXPECT_EQ(section(text, "VPN status"),
            "\nVPN\tfunction\t: ENABLED\nIPsec\tfunction\t: ENABLED\n\tstatus\t\t: CONNECTED\n"
            "L2TPv3\tfunction\t: DISABLED\n\tstatus\t\t: CONNECTING... NOT CONNECTED\n\n\n");
  // The banner of the last section is the end of the file.
  const std::string tail = "****************\n Config Setting \n****************\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

  const cttest::Store& store = report.store();
  EXPECT_EQ(store.box().recorded("gettlsterm"), store.box().path("/jffs2/mqtt/cloud/client.crt") + "\n");
  EXPECT_EQ(store.box().recorded("kv_current_ip_get.sh"), "\n");
  EXPECT_EQ(store.box().recorded("brctl"), "show\n");
  std::string flash = store.box().recorded("flash");
  EXPECT_EQ(flash.compare(0, 40, "get IPFILTER_ENABLED\nget IPFILTER_TBL\nge"), 0) << flash;
  EXPECT_NE(
      flash.find("get KV_VPN_ENABLED\nget KV_VPN_ENABLED\nget KV_IPSEC_ENABLED\nget KV_L2TPV3_ENABLED\n"),
      std::string::npos)
      << flash;
}

TEST(ConfigtoolInfo, VpnOffEndsTheSectionAfterTheSwitchLine) {
  Report report(false, kGoodCert);
  ASSERT_EQ(report.result().status, 0);
  EXPECT_EQ(section(report.text(), "VPN status"), "\nVPN\tfunction\t: DISABLED\n\n\n");
  EXPECT_EQ(report.store().box().recorded("flash").find("KV_IPSEC_ENABLED"), std::string::npos);
}

// The report reaches the build's own certificate printer through the shell and PATH (under
// the emulator in a cross build) and shows the date of its "expire:" line.
TEST(ConfigtoolInfo, TheRealCertificatePrinterGivesTheExpiryDate) {
  Report report(true, "");
  ASSERT_EQ(report.result().status, 0) << report.result().err;
  const hbntest::Sandbox& box = report.store().box();
  hbntest::Result printed = hbntest::run({"gettlsterm", box.path("/jffs2/mqtt/cloud/client.crt")});
  ASSERT_EQ(printed.status, 0) << printed.err;
  size_t at = printed.out.find("expire:");
  ASSERT_NE(at, std::string::npos) << printed.out;
  std::string date = printed.out.substr(at + 7, 10);  // "YYYY/MM/DD"
  for (char& c : date)
    if (c == '/') c = '-';
  EXPECT_NE(section(report.text(), "Information").find("TLS client exp.\t\t: " + date + "\n"),
            std::string::npos)
      << section(report.text(), "Information");
}

TEST(ConfigtoolInfo, UnreadableCertificateLeavesTheDateEmpty) {
  Report report(true, "echo 'ERROR:get cert date information(-2)' >&2; exit 1");
  ASSERT_EQ(report.result().status, 0);
  EXPECT_NE(section(report.text(), "Information").find("\nTLS client exp.\t\t: \nserver-config"),
            std::string::npos)
      << section(report.text(), "Information");
}

// The report path goes into shell command lines: anything the shell would interpret, and a
// path that would not fit the command buffer, is refused before any command runs.
TEST(ConfigtoolInfo, RefusedReportPaths) {
  cttest::Store store;
  store.box().fakeCommand("route", "echo route-table");
  std::string base = store.path("");
  // The longest command line holds the path ten times in 2047 bytes with 1403 bytes of its own.
  const size_t limit = 64;
  ASSERT_LT(base.size() + 2, limit) << "sandbox root too long for this test";
  std::string fits = base + std::string(limit - base.size(), 'f');
  std::string tooLong = base + std::string(limit + 1 - base.size(), 'g');
  for (const std::string& bad : {tooLong, base + "a b", base + "x;touch y", base + "$(id)", std::string()}) {
    hbntest::Result r = store.configtool({"dumpInfo", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("ERROR:"), std::string::npos);
  }
  EXPECT_FALSE(store.box().exists("/record/route"));
  EXPECT_FALSE(store.box().exists("/tmp/" + std::string(limit + 1 - base.size(), 'g')));
  EXPECT_EQ(store.configtool({"dumpInfo", fits}).status, 0);
  EXPECT_NE(store.box().read(fits.substr(store.box().root().size())).find("\nroute-table\n"),
            std::string::npos);
}

}  // namespace
