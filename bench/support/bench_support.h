// What the benchmarks share: percentiles of a run, a process's memory and processor time from
// /proc, the wake-ups of each of its threads over an idle period, starting a program and timing
// it, and the target lines that bench/run gathers into its closing table.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// Milliseconds of the monotonic clock.
double nowMs();

struct Stats {
  size_t n = 0;
  double p50 = 0, p99 = 0, max = 0;
};
// Median, 99th percentile (nearest rank) and maximum of `samples`; all 0 when empty.
Stats stats(std::vector<double> samples);
// "name  n=…  p50 … ms  p99 … ms  max … ms" on one line.
void printStats(const char* name, const Stats& s);

// From /proc/<pid>/smaps_rollup, in KiB; -1 where unreadable. Private counts the pages this
// process alone maps, clean (program text) and dirty (heap, stacks, library data). With
// HBN_BENCH_GUEST_BASE set (the -B of qemu-user running a 32-bit program), only the guest
// program's mappings count: its figures as on the box's CPU.
struct Memory {
  long rssKb = -1;
  long privateKb = -1;
  long dirtyKb = -1;
};
Memory memoryOf(pid_t pid);
void printMemory(const char* when, const Memory& m);

// One thread of a process: its name, voluntary context switches (each one a sleep that some
// event or timer ended: a wake-up) and processor time: nanoseconds on a processor from
// /proc/<pid>/task/<tid>/schedstat (clock ticks from stat beside it, for comparison only: a
// periodic wake-up that starts right after a tick is never sampled, so ticks undercount).
struct ThreadUse {
  pid_t tid = 0;
  std::string name;
  long long wakeups = 0;
  long long cpuNs = 0;
  long long ticks = 0;
};
std::vector<ThreadUse> threadsOf(pid_t pid);
// The MQTT library's own threads ("MQTTAsync_send", "MQTTAsync_rcv"), reported beside the
// agent's.
bool libraryThread(const ThreadUse& thread);

// Processor time and wake-ups of a process over `seconds` in which nothing is asked of it.
struct Idle {
  double seconds = 0;
  long long cpuNs = 0;        // all threads (schedstat)
  double cpuPercent = 0;      // all threads, of one core
  double ownPercent = 0;      // the agent's own threads, of one core
  double libraryPercent = 0;  // the MQTT library's threads, of one core
  // What the same wake-ups cost a thread that does nothing else (measured in the same period by
  // two bare sleepers of this process, 100 ms and 1 s): a wake-up after a long sleep costs tens of
  // microseconds on some machines whatever the thread then does.
  double floorOwnPercent = 0;
  double wakeUs100ms = 0, wakeUs1s = 0;
  long long ticks = 0;               // all threads (stat), for comparison
  std::vector<ThreadUse> perThread;  // wake-ups and processor time over the period
};
Idle measureIdle(pid_t pid, int seconds);
// The idle figures, one line per thread with its wake-ups and microseconds a second.
void printIdle(const Idle& idle);

// Runs `args` (argv[0] a path) to its end; its wall time in ms, or -1 when it could not be
// started or did not exit with 0.
double runProgram(const std::vector<std::string>& args);

// The folder of this program; HBN_BUILD_BIN defaults to it, so the programs of the same build
// are started.
std::string selfDir();
void useBuildBin();

// A target line for bench/run's closing table: "TARGET|<what>|<figure>|met" (or "missed").
void target(const std::string& what, const std::string& figure, bool met);
// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench
