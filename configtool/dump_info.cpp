// The maintenance report: a fixed series of shell command lines, each writing one section
// into the report file. Fixed platform paths inside the command lines go through HBN_path().
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "configtool.h"
#include "hbn_path.h"

namespace {

// Command lines are formatted into a buffer of this size; one that would not fit refuses
// the whole report (a cut command line would run something else).
constexpr size_t kCommandBufferSize = 2048;
constexpr size_t kQueryLineSize = 256;

// The command lines in the order they are defined; "%s" stands for the report path.
const char* const kTemplates[] = {
    // 1. Section "ip route"
    "echo -e \"**********\n ip route \n**********\n\" > %s ; route -n >> %s ;\t\techo -e \"\n\" >> %s",
    // 2. Section "iptables:filter"
    "echo -e \"*****************\n iptables:filter \n*****************\n\" >> %s ; iptables -nvL >> %s "
    ";\t\t\t\t\techo -e \"\n\" >> %s",
    // 3. Section "iptables:nat"
    "echo -e \"**************\n iptables:nat \n**************\n\" >> %s ; iptables -t nat -nvL >> %s "
    ";\t\t\techo -e \"\n\" >> %s",
    // 4. Section "bridge"
    "echo -e \"********\n bridge \n********\n\" >> %s ; brctl show >> %s ;   echo -e \"\n\" >> %s",
    // 5. Section "firewall:IP filter"
    "echo -e \"********************\n firewall:IP filter \n********************\n\" >> %s ; flash get "
    "IPFILTER_ENABLED | sed s/IPFILTER_ENABLED/\"IP filter\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; echo -e \"\" >> %s ; echo -e \"local address,\t\tprotcol,\tcomment "
    "\n--------------------------------------------------------\" >> %s ; flash get IPFILTER_TBL | awk -F = "
    "{'print $2'} | sed s/\", 1, \"/\",\t\tTCP,\t\t\"/g | sed s/\", 2, \"/\",\t\tUDP,\t\t\"/g  | sed s/\", "
    "3, \"/\",\t\tTCP\\/UDP,\t\"/g >> %s ; echo -e \"\n\" >> %s",
    // 6. Section "firewall:URL filter"
    "echo -e \"*********************\n firewall:URL filter \n*********************\n\" >> %s ; flash get "
    "URLFILTER_ENABLED | sed s/URLFILTER_ENABLED/\"URL filter\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; flash get URLFILTER_MODE | sed s/URLFILTER_MODE=0/\"Selected_List\t: Black\"/g | "
    "sed s/URLFILTER_MODE=1/\"Selected_List : White\"/g >> %s ; echo -e \"\" >> %s "
    ";\t\t\t\t\t\t\t\t\t\t\techo -e \"Keyword\t, BlackList/WhiteList \n--------------------------------\" >> "
    "%s ; flash get URLFILTER_TBL | awk -F = {'print $2'} | sed s/\", 0$\"/\"\t, BlackList\"/g | sed s/\", "
    "1$\"/\"\t, WhiteList\"/g >> %s ; echo -e \"\n\" >> %s",
    // 7. Section "firewall:port forward"
    "echo -e \"***********************\n firewall:port forward \n***********************\n\" >> %s ; flash "
    "get PORTFW_ENABLED | sed s/PORTFW_ENABLED/\"Port forward : \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; echo \"\" >> %s ;\t\t\t\t\t\t\t\t\t\t\t\techo -e \"local IP,\t\tlocal "
    "port,\tprotcol,\tremote IP,\t\tremote port,\tstatus,\t\tcomment "
    "\n------------------------------------------------------------------------------------------------------"
    "--------------------------\" >> %s ; flash get PORTFW_TBL | awk -F = {'print $2'} |awk -F , {'print "
    "$1\",\t\t\"$2\"-\"$3\",mode\"$4\"\t\"$5\",\t\t\"$6\"-\"$7\",stat\"$8\",\t\"$10'} | sed /^,/i | sed "
    "/^,/d | sed s/\",mode 1\"/\",\tTCP,\t\"/g | sed s/\",mode 2\"/\",\tUDP,\t\"/g | sed s/\",mode "
    "3\"/\",\tTCP\\/UDP,\"/g | sed s/\",stat 1\"/\",\tEnabled\"/g | sed  s/\",stat 0\"/\",\tDisabled\"/g | "
    "sed s/\"- \"/-/g | sed s/\" \"//g >> %s ; echo -e \"\n\" >> %s",
    // 8. Section "firewall:Application filter"
    "echo -e \"*****************************\n firewall:Application filter "
    "\n*****************************\n\" >> %s ; flash get KV_TCPIP_IGMP_PROXY_ENABLED | sed "
    "s/KV_TCPIP_IGMP_PROXY_ENABLED/\"IgmpProxy\t\t: \"/g | sed s/=0/DISABLED/g | sed s/=1/ENABLED/g >> %s ; "
    "flash get KV_TCPIP_PING_WAN_ACCESS_ENABLED | sed s/KV_TCPIP_PING_WAN_ACCESS_ENABLED/\"PingResponse for "
    "WAN\t: \"/g | sed s/=0/DISABLED/g | sed s/=1/ENABLED/g  >> %s ; flash get "
    "KV_TCPIP_SSHD_WAN_ACCESS_ENABLED | sed s/KV_TCPIP_SSHD_WAN_ACCESS_ENABLED/\"SSH Acsess from WAN\t: \"/g "
    "| sed s/=0/DISABLED/g | sed s/=1/ENABLED/g >> %s ; flash get KV_TCPIP_WEB_WAN_ACCESS_ENABLED | sed "
    "s/KV_TCPIP_WEB_WAN_ACCESS_ENABLED/\"WebUI Acsess from WAN\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; flash get KV_TCPIP_VPN_PASSTHRU_IPSEC_ENABLED | sed "
    "s/KV_TCPIP_VPN_PASSTHRU_IPSEC_ENABLED/\"IPsec(VPN) Passthrough\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; flash get KV_TCPIP_VPN_PASSTHRU_PPTP_ENABLED | sed "
    "s/KV_TCPIP_VPN_PASSTHRU_PPTP_ENABLED/\"PPTP(VPN) Passthrough\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; flash get KV_TCPIP_VPN_PASSTHRU_L2TP_ENABLED | sed "
    "s/KV_TCPIP_VPN_PASSTHRU_L2TP_ENABLED/\"L2TP(VPN) Passthrough\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; flash get KV_TCPIP_CUSTOM_PASSTHRU_ENABLED | sed "
    "s/KV_TCPIP_CUSTOM_PASSTHRU_ENABLED/\"IPv6 Passthrough\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; echo -e \"\n\" >> %s",
    // 9. Refresh of the current-address file (run by itself, no path)
    "/bin/kv_current_ip_get.sh",
    // 10. Section "Current IP"
    "echo -e \"************\n Current IP \n************\n\" >> %s ; cat /var/current_ip_info.inf >> %s ; "
    "echo -e \"\n\" >> %s",
    // 11. Section "Information"
    "echo -e \"*************\n Information \n*************\n\" >> %s ; echo \"FW version (LAN)\t: \"`cat "
    "/var/pqv_version` >> %s ; echo \"SYS version (LAN)\t: \"`cat /var/sys_ver.inf` >> %s ; echo \"FW "
    "version (LTE)\t: \"`cat /var/lte0_ver.inf` >> %s ; echo \"IMEI2\t\t\t: \"`cat /var/lte0_imei.inf` >> %s "
    "; echo \"TLS client exp.\t\t: \"`gettlsterm /jffs2/mqtt/cloud/client.crt | tail -n 1 | awk '{print $1}' "
    "| awk -F : '{ print $2}' | sed s/\"\\/\"/-/g` >> %s ; flash get KV_MQTT_SET_REV | sed "
    "s/KV_MQTT_SET_REV=/\"server-config(revision)\t: \"/g | sed 's/\"//g' >> %s ; echo -e \"\n\" >> %s",
    // 12. Refresh of the VPN state files (run by itself, no path)
    " /bin/kv_ipsec_state.sh ; /bin/kv_l2tp_state.sh",
    // 13. Section "VPN status", first part
    "echo -e \"*************\n VPN status \n*************\n\" >> %s ; flash get KV_VPN_ENABLED | sed "
    "s/KV_VPN_ENABLED/\"VPN\tfunction\t: \"/g | sed s/=0/DISABLED/g | sed s/=1/ENABLED/g >> %s",
    // 14. VPN switch query (read through a pipe, no path)
    "flash get KV_VPN_ENABLED | awk -F = {'print $2'}",
    // 15. Section "VPN status", detail part (only when the VPN switch is on)
    "flash get KV_IPSEC_ENABLED | sed s/KV_IPSEC_ENABLED/\"IPsec\tfunction\t: \"/g | sed s/=0/DISABLED/g | "
    "sed s/=1/ENABLED/g >> %s ; echo \"\tstatus\t\t: \"`cat /var/ipsec_state.inf` | sed s/\"未接続\"/\"NOT "
    "CONNECTED\"/g | sed s/\"接続確立\"/CONNECTED/g | sed s/\"接続処理中\"/CONNECTING.../g >> %s ; flash get "
    "KV_L2TPV3_ENABLED | sed s/KV_L2TPV3_ENABLED/\"L2TPv3\tfunction\t: \"/g | sed s/=0/DISABLED/g | sed "
    "s/=1/ENABLED/g >> %s ; echo \"\tstatus\t\t: \"`cat /var/l2tp_state.inf` | sed s/\"未接続\"/\"NOT "
    "CONNECTED\"/g | sed s/\"接続確立\"/CONNECTED/g | sed s/\"接続処理中\"/CONNECTING.../g >> %s ; echo -e "
    "\"\n\" >> %s",
    // 16. Section "Config Setting" (banner only)
    "echo -e \"****************\n Config Setting \n****************\" >> %s",
};

// Ends the "VPN status" section when the VPN switch is off.
const char kVpnOffEnd[] = " echo -e \"\n\" >> %s";

// Platform paths that appear inside the command lines.
const char* const kFixedPaths[] = {
    "/var/current_ip_info.inf", "/var/pqv_version",      "/var/sys_ver.inf",
    "/var/lte0_ver.inf",        "/var/lte0_imei.inf",    "/jffs2/mqtt/cloud/client.crt",
    "/var/ipsec_state.inf",     "/var/l2tp_state.inf",   "/bin/kv_current_ip_get.sh",
    "/bin/kv_ipsec_state.sh",   "/bin/kv_l2tp_state.sh",
};

// Text placed into a shell command line unquoted: only characters the shell takes literally.
bool shellSafe(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
              c == '.' || c == '_' || c == '+' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Expands one template: "%s" becomes the report path and each fixed platform path its
// rooted form. False when the result would not fit the command buffer or a rooted path
// is not shell-safe.
bool expand(const char* tmpl, const std::string& path, std::string* line) {
  line->clear();
  for (const char* p = tmpl; *p != '\0';) {
    if (p[0] == '%' && p[1] == 's') {
      line->append(path);
      p += 2;
      continue;
    }
    bool replaced = false;
    for (const char* fixed : kFixedPaths) {
      size_t n = strlen(fixed);
      if (strncmp(p, fixed, n) != 0) continue;
      std::string rooted = HBN_path(fixed);
      if (!shellSafe(rooted)) return false;
      line->append(rooted);
      p += n;
      replaced = true;
      break;
    }
    if (!replaced) line->push_back(*p++);
  }
  return line->size() < kCommandBufferSize;
}

}  // namespace

extern "C" int configtool_dumpInfo(const char* path) {
  const size_t count = sizeof kTemplates / sizeof kTemplates[0];
  std::string report = path ? path : "";
  if (!shellSafe(report)) {
    fprintf(stderr, "ERROR:dumpInfo: report path refused (letters, digits and /._+- only)\n");
    return -1;
  }
  // Every command line is built before the first one runs, so a path that does not fit
  // leaves no half-written report behind.
  std::vector<std::string> lines(count + 1);
  for (size_t i = 0; i <= count; ++i) {
    if (!expand(i < count ? kTemplates[i] : kVpnOffEnd, report, &lines[i])) {
      fprintf(stderr, "ERROR:dumpInfo: report path too long for the command buffer\n");
      return -1;
    }
  }
  const std::string& vpnOffEnd = lines[count];
  // The report is made anew, never through what was at its path: whatever is there (an older
  // report, a planted link) is removed and an empty file created exclusively, which the first
  // section then fills.
  unlink(report.c_str());
  int fd = open(report.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "ERROR:dumpInfo: cannot create %s\n", report.c_str());
    return -1;
  }
  close(fd);
  // Sections 1 to 8, the current address (refresh, then section), information.
  for (size_t i = 0; i <= 10; ++i) HBN_cmd_system(lines[i].c_str());
  // VPN state refresh, the switch line, then the switch itself through a pipe.
  HBN_cmd_system(lines[11].c_str());
  HBN_cmd_system(lines[12].c_str());
  char answer[kQueryLineSize] = {};
  FILE* query = HBN_cmd_popen(lines[13].c_str(), "r");
  if (query != nullptr) {
    if (fgets(answer, sizeof answer, query) == nullptr) answer[0] = '\0';
    HBN_cmd_pclose(query);
  }
  HBN_cmd_system(strchr(answer, '1') != nullptr ? lines[14].c_str() : vpnOffEnd.c_str());
  HBN_cmd_system(lines[15].c_str());
  return 0;
}
