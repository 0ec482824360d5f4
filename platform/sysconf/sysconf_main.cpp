// sysconf (stand-in): the platform's configuration command, as far as the simulated box needs it.
// Every call appends its arguments, joined by spaces, as one line to "/tmp/sysconf.log" (under
// HBN_ROOT). "switch_wan FROM TO" makes TO's default route the preferred one and keeps FROM's
// default route at a lower preference, so sockets bound to FROM (a session, the probes) still
// have a route of their own and see the link return; other sub-commands are only recorded.
// Exit status: 0 done, 1 the switch could not be made (the reason on standard error), 2 usage.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include <sys/wait.h>

#include "hbn_path.h"

namespace {

const char kRecord[] = "/tmp/sysconf.log";

struct DefaultRoute {
  bool found = false;
  std::string gateway;  // "" for a route without a gateway
  long metric = 0;
};

const char* ipBinary() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return "ip";
}

void record(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
  line += "\n";
  int fd = open(HBN_path(kRecord).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;
  close(fd);
}

// Interface names as the kernel takes them: 1 to 15 characters, no '/' or white space.
bool validIfname(const char* name) {
  size_t n = strlen(name);
  if (n == 0 || n >= 16) return false;
  for (size_t i = 0; i < n; ++i)
    if (name[i] == '/' || name[i] <= ' ') return false;
  return true;
}

// The IPv4 default routes of `ifname` in the main table; the first one found.
DefaultRoute defaultRoute(const char* ifname) {
  DefaultRoute route;
  const std::string command = std::string(ipBinary()) + " -4 -o route show default dev " + ifname;
  FILE* in = HBN_cmd_popen(command.c_str(), "r");
  if (in == nullptr) return route;
  char line[512];
  while (!route.found && fgets(line, sizeof line, in) != nullptr) {
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word != "default") continue;
    route.found = true;
    while (words >> word) {
      if (word == "via") words >> route.gateway;
      if (word == "metric") words >> route.metric;
    }
  }
  HBN_cmd_pclose(in);
  return route;
}

int ip(const char* a0, const char* a1, const char* a2, const char* a3, const char* a4, const char* a5,
       const char* a6, const char* a7, const char* a8, const char* a9) {
  const char* argv[] = {ipBinary(), a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, nullptr};
  int status = HBN_cmd_exec(argv);
  return (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : -1;
}

int deleteRoute(const char* ifname, long metric) {
  std::string text = std::to_string(metric);
  return ip("-4", "route", "del", "default", "dev", ifname, "metric", text.c_str(), nullptr, nullptr);
}

// Adds a default route beside any other of the same metric ("append": no collision).
int appendRoute(const char* ifname, const DefaultRoute& route, long metric) {
  std::string text = std::to_string(metric);
  if (route.gateway.empty())
    return ip("-4", "route", "append", "default", "dev", ifname, "metric", text.c_str(), nullptr, nullptr);
  return ip("-4", "route", "append", "default", "via", route.gateway.c_str(), "dev", ifname, "metric",
            text.c_str());
}

int switchWan(const char* from, const char* to) {
  if (!validIfname(from) || !validIfname(to) || strcmp(from, to) == 0) {
    fprintf(stderr, "sysconf: switch_wan needs two different interface names\n");
    return 1;
  }
  DefaultRoute oldRoute = defaultRoute(from);
  DefaultRoute newRoute = defaultRoute(to);
  if (!newRoute.found) {
    fprintf(stderr, "sysconf: %s has no default route to switch to\n", to);
    return 1;
  }
  if (!oldRoute.found) {
    // Nothing to demote: the new link is the only way out already.
    return 0;
  }
  long preferred = oldRoute.metric < newRoute.metric ? oldRoute.metric : newRoute.metric;
  long other = oldRoute.metric > newRoute.metric ? oldRoute.metric : newRoute.metric;
  if (other == preferred) {
    if (other == LONG_MAX) {
      fprintf(stderr, "sysconf: no metric left below the links' metric\n");
      return 1;
    }
    ++other;
  }
  if (newRoute.metric == preferred && oldRoute.metric == other) return 0;  // already so
  // Each link gets its new route before its old one goes, so there is always a default route,
  // and FROM always has one of its own. Among routes of equal metric the older one is preferred.
  const bool moveFrom = oldRoute.metric != other;
  const bool moveTo = newRoute.metric != preferred;
  if ((moveFrom && appendRoute(from, oldRoute, other) != 0) ||
      (moveTo && appendRoute(to, newRoute, preferred) != 0) ||
      (moveFrom && deleteRoute(from, oldRoute.metric) != 0) ||
      (moveTo && deleteRoute(to, newRoute.metric) != 0)) {
    fprintf(stderr, "sysconf: changing the default routes of %s and %s failed\n", from, to);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: sysconf SUBCOMMAND [ARGS...]\n");
    return 2;
  }
  record(argc, argv);
  if (strcmp(argv[1], "switch_wan") == 0) {
    if (argc != 4) {
      fprintf(stderr, "usage: sysconf switch_wan FROM TO\n");
      return 2;
    }
    return switchWan(argv[2], argv[3]);
  }
  return 0;
}
