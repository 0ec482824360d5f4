#include "bench_support.h"

#include <dirent.h>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {

double nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

Stats stats(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.n = v.size();
  size_t i99 = static_cast<size_t>(std::ceil(static_cast<double>(s.n) * 0.99)) - 1;
  s.p50 = v[s.n / 2];
  s.p99 = v[std::min(i99, s.n - 1)];
  s.max = v.back();
  return s;
}

void printStats(const char* name, const Stats& s) {
  printf("%-40s n=%-5zu p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms\n", name, s.n, s.p50, s.p99, s.max);
}

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The value after "key:" in a /proc status text, -1 when absent.
long long statusField(const std::string& text, const char* key) {
  size_t at = text.find(std::string("\n") + key + ":");
  if (at == std::string::npos) return -1;
  return atoll(text.c_str() + at + strlen(key) + 2);
}

// utime + stime (fields 14 and 15) of a /proc stat text, -1 when unreadable.
long long ticksOfStat(const std::string& text) {
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long utime = -1, stime = -1;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = atoll(field.c_str());
    if (i == 15) stime = atoll(field.c_str());
  }
  return utime < 0 || stime < 0 ? -1 : utime + stime;
}

}  // namespace

namespace {

// A 32-bit program run by qemu-user with a fixed guest base (qemu-arm -B BASE) has all its
// pages in the 4 GiB from BASE; what lies outside is the emulator's own. HBN_BENCH_GUEST_BASE
// names that base, so the figures are the guest program's as on the box. No other process
// here maps the target's shared libraries, so their clean text would count as private; on the
// box the agents and the system share it: clean pages of shared objects are left out.
bool guestRange(unsigned long long* low, unsigned long long* high) {
  const char* base = getenv("HBN_BENCH_GUEST_BASE");
  if (base == nullptr || *base == '\0') return false;
  *low = strtoull(base, nullptr, 0);
  *high = *low + (1ULL << 32);
  return true;
}

Memory guestMemoryOf(pid_t pid, unsigned long long low, unsigned long long high) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  Memory m;
  long priv = 0;
  bool inside = false, any = false, sharedObject = false;
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long start = 0, end = 0;
    if (sscanf(line.c_str(), "%llx-%llx ", &start, &end) == 2 && line.find(':') > line.find(' ')) {
      inside = start >= low && start < high;
      sharedObject = line.find(".so") != std::string::npos;
      continue;
    }
    if (!inside) continue;
    char key[64];
    long value = 0;
    if (sscanf(line.c_str(), "%63s %ld kB", key, &value) != 2) continue;
    std::string k = key;
    if (k == "Rss:") m.rssKb = (m.rssKb < 0 ? 0 : m.rssKb) + value;
    if (k == "Private_Dirty:" || (k == "Private_Clean:" && !sharedObject)) {
      priv += value;
      any = true;
    }
    if (k == "Private_Dirty:") m.dirtyKb = (m.dirtyKb < 0 ? 0 : m.dirtyKb) + value;
  }
  if (any) m.privateKb = priv;
  return m;
}

}  // namespace

Memory memoryOf(pid_t pid) {
  unsigned long long low, high;
  if (guestRange(&low, &high)) return guestMemoryOf(pid, low, high);
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  Memory m;
  long priv = 0;
  bool any = false;
  std::string line;
  while (std::getline(in, line)) {
    char key[64];
    long value = 0;
    if (sscanf(line.c_str(), "%63s %ld kB", key, &value) != 2) continue;
    std::string k = key;
    if (k == "Rss:") m.rssKb = value;
    if (k == "Private_Clean:" || k == "Private_Dirty:") {
      priv += value;
      any = true;
    }
    if (k == "Private_Dirty:") m.dirtyKb = value;
  }
  if (any) m.privateKb = priv;
  return m;
}

void printMemory(const char* when, const Memory& m) {
  printf("memory %-30s rss %6ld KiB  private %6ld KiB (%.2f MiB, dirty %ld KiB)\n", when, m.rssKb,
         m.privateKb, static_cast<double>(m.privateKb) / 1024.0, m.dirtyKb);
}

std::vector<ThreadUse> threadsOf(pid_t pid) {
  std::vector<ThreadUse> threads;
  const std::string base = "/proc/" + std::to_string(pid) + "/task/";
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return threads;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    ThreadUse t;
    t.tid = static_cast<pid_t>(atoi(entry->d_name));
    std::string status = "\n" + readAll(base + entry->d_name + "/status");
    size_t name = status.find("\nName:");
    if (name != std::string::npos) {
      size_t from = status.find_first_not_of(" \t", name + 6);
      t.name = status.substr(from, status.find('\n', from) - from);
    }
    t.wakeups = statusField(status, "voluntary_ctxt_switches");
    // schedstat: nanoseconds on a processor, nanoseconds waiting to run, time slices.
    t.cpuNs = atoll(readAll(base + entry->d_name + "/schedstat").c_str());
    t.ticks = ticksOfStat(readAll(base + entry->d_name + "/stat"));
    threads.push_back(t);
  }
  closedir(dir);
  std::sort(threads.begin(), threads.end(),
            [](const ThreadUse& a, const ThreadUse& b) { return a.tid < b.tid; });
  return threads;
}

bool libraryThread(const ThreadUse& thread) { return thread.name.rfind("MQTTAsync_", 0) == 0; }

namespace {

long long ownCpuNs() { return atoll(readAll("/proc/thread-self/schedstat").c_str()); }

// Sleeps `periodMs` at a time until `until` and returns the processor time per wake-up in us.
double bareWakeUs(int periodMs, double until) {
  long long start = ownCpuNs();
  int wakes = 0;
  while (nowMs() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
    ++wakes;
  }
  return wakes > 0 ? static_cast<double>(ownCpuNs() - start) / 1000.0 / wakes : 0;
}

}  // namespace

Idle measureIdle(pid_t pid, int seconds) {
  Idle idle;
  std::vector<ThreadUse> before = threadsOf(pid);
  double t0 = nowMs();
  const double until = t0 + seconds * 1000.0;
  std::thread fast([&] { idle.wakeUs100ms = bareWakeUs(100, until); });
  std::thread slow([&] { idle.wakeUs1s = bareWakeUs(1000, until); });
  fast.join();
  slow.join();
  std::vector<ThreadUse> after = threadsOf(pid);
  idle.seconds = (nowMs() - t0) / 1000.0;
  long long own = 0, library = 0;
  for (const ThreadUse& a : after) {
    ThreadUse d = a;
    for (const ThreadUse& b : before) {
      if (b.tid != a.tid) continue;
      d.wakeups = a.wakeups - b.wakeups;
      d.cpuNs = a.cpuNs - b.cpuNs;
      d.ticks = a.ticks - b.ticks;
    }
    idle.cpuNs += d.cpuNs;
    idle.ticks += d.ticks;
    (libraryThread(d) ? library : own) += d.cpuNs;
    if (!libraryThread(d)) {
      double perSecond = static_cast<double>(d.wakeups) / idle.seconds;
      idle.floorOwnPercent += perSecond * (perSecond >= 5 ? idle.wakeUs100ms : idle.wakeUs1s) / 1e4;
    }
    idle.perThread.push_back(d);
  }
  const double periodNs = idle.seconds * 1e9;
  idle.cpuPercent = 100.0 * static_cast<double>(idle.cpuNs) / periodNs;
  idle.ownPercent = 100.0 * static_cast<double>(own) / periodNs;
  idle.libraryPercent = 100.0 * static_cast<double>(library) / periodNs;
  return idle;
}

void printIdle(const Idle& idle) {
  long long wakeups = 0;
  for (const ThreadUse& t : idle.perThread) wakeups += t.wakeups;
  printf(
      "idle over %.0f s: %.4f %% of a core (own threads %.4f %%, MQTT library %.4f %%), %.1f wake-ups per s "
      "(%lld clock ticks)\n",
      idle.seconds, idle.cpuPercent, idle.ownPercent, idle.libraryPercent,
      static_cast<double>(wakeups) / idle.seconds, idle.ticks);
  printf(
      "  a bare thread's wake-up costs %.1f us after 100 ms, %.1f us after 1 s: the own threads' wake-ups "
      "alone cost %.4f %% of a core here\n",
      idle.wakeUs100ms, idle.wakeUs1s, idle.floorOwnPercent);
  for (const ThreadUse& t : idle.perThread)
    printf("  thread %-16s %6.2f wake-ups per s  %8.1f us per s  (%lld ticks)\n", t.name.c_str(),
           static_cast<double>(t.wakeups) / idle.seconds,
           static_cast<double>(t.cpuNs) / 1000.0 / idle.seconds, t.ticks);
}

double runProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  double start = nowMs();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  double took = nowMs() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -1;
}

std::string selfDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

void useBuildBin() {
  if (getenv("HBN_BUILD_BIN") == nullptr) setenv("HBN_BUILD_BIN", selfDir().c_str(), 1);
}

void target(const std::string& what, const std::string& figure, bool met) {
  printf("TARGET|%s|%s|%s\n", what.c_str(), figure.c_str(), met ? "met" : "missed");
  fflush(stdout);
}

std::string format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

}  // namespace bench
