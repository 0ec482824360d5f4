// hbn-box-keeper: the background half of scripts/box. It builds the box's world (a box network
// namespace whose links lead into a cloud namespace with a TLS Mosquitto broker and a ping
// target), writes the factory data of the first boot and DIR/cloud.json, and then boots the
// staged tree DIR/root again and again: BusyBox init as PID 1 of new mount, PID, UTS and IPC
// namespaces inside the box's network namespace, DIR/root as a read-only root, DIR/jffs2 as its
// flash. When init ends the box has rebooted (init ended by the kernel's reboot of a PID
// namespace: SIGHUP) or lost its power (SIGKILL), and the keeper boots it again; a power-off
// (SIGINT) leaves it off. SIGTERM to the keeper powers the box off and removes the world.
//
//   hbn-box-keeper DIR [--wan single|dual] [--env K=V]...
//
// Files in DIR it keeps up to date: boots (boots so far), init.pid (init's process id on this
// machine while the box runs), state (booting, running, off, down or failed), console.log
// (what init and its children print).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "hbn_broker.h"
#include "hbn_test.h"
#include "hbn_wan_world.h"

namespace {

volatile sig_atomic_t g_down = 0;
void onDown(int) { g_down = 1; }

// Identities of the three agents on the one broker. The OTA agent shares the Z-Wave agent's
// serial and service code (the box has one identity); its certificate names it "hbn-ota", and
// the broker lets it read only requests under the service code "ota", so it never takes the
// Z-Wave agent's requests, and the Z-Wave agent never sees the OTA agent's.
const char kService[] = "hbnbox";
const char kZwaveSerial[] = "ZW0001";
const char kRouterSerial[] = "RT0001";
const char kRouterSubSerial[] = "RT0002";
const char kOtaService[] = "ota";

bool writeFile(const std::string& path, const std::string& content) {
  std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) return false;
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void say(const std::string& line) { std::printf("keeper: %s\n", line.c_str()); }

bool sh(const std::string& command) {
  hbntest::Result r = hbntest::run({"/bin/sh", "-c", command}, {}, "", 60000);
  if (r.status != 0) say("failed: " + command + ": " + r.err);
  return r.status == 0;
}

// A client certificate of the OTA agent, signed by the broker's CA.
bool makeOtaCertificate(const std::string& dir) {
  if (exists(dir + "/ota.crt")) return true;
  const std::string q = "cd '" + dir + "' && ";
  return sh(q + "openssl req -newkey rsa:2048 -nodes -subj /CN=hbn-ota -keyout ota.key -out ota.csr") &&
         sh(q +
            "openssl x509 -req -in ota.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out ota.crt");
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// One agent in cloud.json: its identity, the prefixes of its requests and answers, and the
// client id it connects with (as the broker's log names it).
std::string agentJson(const char* service, const char* serial, const char* answerService,
                      const std::string& clientId) {
  return std::string("{\"service\": ") + quoted(service) + ", \"serial\": " + quoted(serial) +
         ", \"requests\": " + quoted(std::string("req/") + service + "/" + serial + "/") +
         ", \"answers\": " + quoted(std::string("gw/") + answerService + "/" + serial + "/") +
         ", \"client\": " + quoted(clientId) + "}";
}

// The factory settings of the first boot (S30factory reads them): identities, the broker
// at the server address, TLS on, keep-alive a minute; WAN mode 2 (main: wired eth0, sub: LTE
// wwan0), dual WAN with fail-over by the MQTT state when asked for, each WAN's link checked
// with a check time of one minute.
std::string factorySettings(const std::string& server, int port, bool dual) {
  const std::string p = std::to_string(port);
  std::string s;
  auto set = [&](int id, const std::string& value) { s += std::to_string(id) + "=" + value + "\n"; };
  set(1410, kZwaveSerial);
  set(1411, kService);
  set(1412, server);
  set(1413, p);
  set(1414, "1");
  set(1418, "1");
  set(1419, "60");
  set(1421, server);
  set(1422, p);
  set(1423, "1");
  set(7144, "2");
  set(7155, dual ? "1" : "0");
  set(7156, "0");
  // WAN0 (wired, eth0) and WAN2 (LTE, wwan0) blocks.
  for (int block : dual ? std::vector<int>{7129, 7115} : std::vector<int>{7129}) {
    set(block, "1");
    set(block + 1, block == 7129 ? kRouterSerial : kRouterSubSerial);
    set(block + 2, kService);
    set(block + 3, server);
    set(block + 4, p);
    set(block + 5, "1");
    set(block + 9, "1");
    set(block + 10, "60");
    set(block + 11, "1");
    set(block + 12, "1");
  }
  if (dual) {
    set(7157, "1");
    set(7159, "0");
    set(7160, "1");
    set(7161, "1");
  }
  return s;
}

// What the first boot finds on the flash: factory settings and the TLS material of both servers.
bool provision(const std::string& dir, const std::string& server, int port, bool dual) {
  const std::string jffs2 = dir + "/jffs2";
  if (exists(jffs2 + "/factory/mib.conf")) return true;  // not a new box
  const std::string cloud = dir + "/cloud";
  return sh("mkdir -p '" + jffs2 + "/factory' '" + jffs2 + "/mqtt/cloud' '" + jffs2 + "/mqtt/ota'") &&
         writeFile(jffs2 + "/factory/mib.conf", factorySettings(server, port, dual)) &&
         sh("cp '" + cloud + "/ca.crt' '" + cloud + "/client.crt' '" + cloud + "/client.key' '" + jffs2 +
            "/mqtt/cloud/'") &&
         sh("cp '" + cloud + "/ca.crt' '" + jffs2 + "/mqtt/ota/' && cp '" + cloud + "/ota.crt' '" + jffs2 +
            "/mqtt/ota/client.crt' && cp '" + cloud + "/ota.key' '" + jffs2 + "/mqtt/ota/client.key'");
}

struct BootArgs {
  std::string dir;
  int netns = -1;
  int console = -1;
  std::vector<std::string> env;
};

// Inside the new namespaces, as PID 1: the box's root and flash, then BusyBox init. A failure
// is written to the console and ends the boot with status 100 + step.
int bootChild(void* arg) {
  const BootArgs& a = *static_cast<BootArgs*>(arg);
  auto fail = [&](int step, const char* what) {
    dprintf(a.console, "box: boot step %d failed: %s: %s\n", step, what, strerror(errno));
    return 100 + step;
  };
  const std::string root = a.dir + "/root";
  // A keeper that dies cuts the power: no box runs on without its harness.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (setns(a.netns, CLONE_NEWNET) != 0) return fail(1, "enter the box's network namespace");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail(2, "private mounts");
  if (mount(root.c_str(), root.c_str(), nullptr, MS_BIND, nullptr) != 0) return fail(3, "bind the root");
  const std::string dev = root + "/dev";
  if (mount("tmpfs", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=256k") != 0)
    return fail(4, "mount /dev");
  struct Node {
    const char* name;
    unsigned major, minor;
  };
  for (const Node& n : {Node{"null", 1, 3}, Node{"zero", 1, 5}, Node{"full", 1, 7}, Node{"random", 1, 8},
                        Node{"urandom", 1, 9}, Node{"tty", 5, 0}}) {
    std::string path = dev + "/" + n.name;
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(n.major, n.minor)) != 0) return fail(5, n.name);
    chmod(path.c_str(), 0666);
  }
  struct Link {
    const char* name;
    const char* target;
  };
  for (const Link& l : {Link{"stdin", "/proc/self/fd/0"}, Link{"stdout", "/proc/self/fd/1"},
                        Link{"stderr", "/proc/self/fd/2"}, Link{"fd", "/proc/self/fd"}})
    symlink(l.target, (dev + "/" + l.name).c_str());
  mkdir((dev + "/pts").c_str(), 0755);
  mkdir((dev + "/shm").c_str(), 01777);
  const std::string flash = a.dir + "/jffs2";
  if (mount(flash.c_str(), (root + "/jffs2").c_str(), nullptr, MS_BIND, nullptr) != 0)
    return fail(6, "bind /jffs2");
  // The firmware tree is read-only, as the box's root file system is.
  if (mount(nullptr, root.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
    return fail(7, "read-only root");
  if (chdir(root.c_str()) != 0 || syscall(SYS_pivot_root, ".", ".") != 0) return fail(8, "pivot_root");
  if (umount2(".", MNT_DETACH) != 0) return fail(9, "detach the old root");
  if (chdir("/") != 0) return fail(10, "chdir /");
  const char host[] = "hbn-box";
  sethostname(host, sizeof host - 1);
  int null = open("/dev/null", O_RDWR);
  if (null < 0) return fail(11, "/dev/null");
  dup2(null, 0);
  dup2(a.console, 1);
  dup2(a.console, 2);
  close(null);
  close(a.console);
  std::vector<char*> env;
  for (const auto& e : a.env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  char name[] = "init";
  char* argv[] = {name, nullptr};
  execve("/sbin/init", argv, env.data());
  return fail(12, "exec /sbin/init");
}

std::string describeEnd(int status) {
  if (WIFSIGNALED(status)) {
    switch (WTERMSIG(status)) {
      case SIGHUP:
        return "rebooted";
      case SIGKILL:
        return "power cut";
      case SIGINT:
        return "powered off";
      default:
        return "init ended by signal " + std::to_string(WTERMSIG(status));
    }
  }
  return "init ended with status " + std::to_string(WEXITSTATUS(status));
}

int usage() {
  std::fputs("usage: hbn-box-keeper DIR [--wan single|dual] [--env K=V]...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] != '/') return usage();
  const std::string dir = argv[1];
  bool dual = false;
  std::vector<std::string> env = {"PATH=/sbin:/usr/sbin:/bin:/usr/bin", "HOME=/", "TERM=dumb"};
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return usage();
    std::string option = argv[i], value = argv[i + 1];
    if (option == "--wan" && (value == "single" || value == "dual")) {
      dual = value == "dual";
    } else if (option == "--env" && value.find('=') != std::string::npos && value[0] != '=') {
      env.push_back(value);
    } else {
      return usage();
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  struct sigaction down {};
  down.sa_handler = onDown;
  sigaction(SIGTERM, &down, nullptr);
  sigaction(SIGINT, &down, nullptr);
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  auto state = [&](const std::string& s) { writeFile(dir + "/state", s + "\n"); };

  const std::string cloudDir = dir + "/cloud";
  mkdir(cloudDir.c_str(), 0700);
  if (!hbntest::makeCertificates(cloudDir) || !makeOtaCertificate(cloudDir)) {
    say("cannot make the certificates");
    state("failed");
    return 1;
  }
  const std::string acl = cloudDir + "/acl";
  if (!writeFile(acl, std::string("user hbn-client\ntopic readwrite #\n") +
                          "user hbn-ota\ntopic read req/+/" + kZwaveSerial + "/#\ntopic deny req/" +
                          kService + "/#\ntopic write gw/#\n" + "topic write sp/#\n")) {
    state("failed");
    return 1;
  }
  hbntest::Broker broker(cloudDir, true);
  broker.configure("use_identity_as_username true\n", "acl_file " + acl + "\n");
  hbntest::WanWorld world;
  std::vector<std::string> links = {"eth0"};
  if (dual) links.push_back("wwan0");
  std::string problem = world.build(links, broker);
  if (!problem.empty()) {
    say("the world was not built: " + problem);
    state("failed");
    return 1;
  }
  say("box namespace " + world.box());
  say("cloud namespace " + world.cloud() + ", broker and ping target at " + world.server() + ":" +
      std::to_string(broker.port()));
  if (!provision(dir, world.server(), broker.port(), dual)) {
    state("failed");
    return 1;
  }
  std::string linksJson;
  for (const auto& name : links) {
    hbntest::WanLink l = world.link(name);
    linksJson += std::string(linksJson.empty() ? "" : ", ") + quoted(name) +
                 ": {\"box\": " + quoted(l.box.address) + ", \"cloud\": " + quoted(l.peer.address) + "}";
  }
  const std::string json =
      "{\"netns\": " + quoted(world.cloud()) +
      ", \"host\": \"127.0.0.1\", \"port\": " + std::to_string(broker.port()) +
      ", \"ca\": " + quoted(cloudDir + "/ca.crt") + ", \"cert\": " + quoted(cloudDir + "/client.crt") +
      ", \"key\": " + quoted(cloudDir + "/client.key") + ", \"server\": " + quoted(world.server()) +
      ", \"box_netns\": " + quoted(world.box()) + ", \"links\": {" + linksJson +
      "}, \"broker_log\": " + quoted(cloudDir + "/mosquitto.log") + ", \"agents\": {\"zwave\": " +
      agentJson(kService, kZwaveSerial, kService, std::string(kService) + ":" + kZwaveSerial) +
      ", \"router\": " +
      agentJson(kService, kRouterSerial, kService, std::string(kService) + ":" + kRouterSerial + ":0") +
      ", \"ota\": " +
      agentJson(kOtaService, kZwaveSerial, kService, std::string(kService) + ":" + kZwaveSerial + "-OTA") +
      "}}\n";
  if (!writeFile(dir + "/cloud.json", json)) {
    state("failed");
    return 1;
  }

  BootArgs boot;
  boot.dir = dir;
  boot.env = env;
  boot.netns = open(("/run/netns/" + world.box()).c_str(), O_RDONLY | O_CLOEXEC);
  boot.console = open((dir + "/console.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (boot.netns < 0 || boot.console < 0) {
    state("failed");
    return 1;
  }
  std::vector<char> stack(256 * 1024);
  int boots = 0;
  {
    std::ifstream in(dir + "/boots");
    in >> boots;
  }
  bool off = false;
  while (!g_down) {
    if (off) {
      pause();
      continue;
    }
    writeFile(dir + "/boots", std::to_string(++boots) + "\n");
    dprintf(boot.console, "box: boot %d\n", boots);
    state("booting");
    pid_t init = clone(bootChild, stack.data() + stack.size(),
                       CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | SIGCHLD, &boot);
    if (init < 0) {
      say(std::string("clone failed: ") + strerror(errno));
      state("failed");
      break;
    }
    writeFile(dir + "/init.pid", std::to_string(init) + "\n");
    state("running");
    int status = 0;
    bool poweringOff = false;
    auto powerOffAt = std::chrono::steady_clock::now();
    for (;;) {
      pid_t r = waitpid(init, &status, g_down ? WNOHANG : 0);
      if (r == init) break;
      if (r < 0 && errno != EINTR) break;
      if (g_down && !poweringOff) {
        // BusyBox init powers off on SIGUSR2: its shutdown steps run, then everything ends.
        kill(init, SIGUSR2);
        poweringOff = true;
        powerOffAt = std::chrono::steady_clock::now();
      } else if (poweringOff && std::chrono::steady_clock::now() - powerOffAt > std::chrono::seconds(15)) {
        kill(init, SIGKILL);
      }
      if (g_down) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    unlink((dir + "/init.pid").c_str());
    const std::string end = describeEnd(status);
    dprintf(boot.console, "box: boot %d ended: %s\n", boots, end.c_str());
    say("boot " + std::to_string(boots) + " ended: " + end);
    if (g_down) break;
    if (!WIFSIGNALED(status)) {
      state("failed");
      break;
    }
    if (WTERMSIG(status) == SIGINT) {
      state("off");
      off = true;
    }
  }
  if (g_down) state("down");
  return 0;
}
