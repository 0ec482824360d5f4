#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hbn_path.h"
#include "hbn_process.h"
#include "hbn_test.h"
#include "hbn_wait.h"

TEST(Path, UnrootedPathsAreUsedAsWritten) {
  unsetenv("HBN_ROOT");
  EXPECT_EQ(HBN_path("/var/pqv_version"), "/var/pqv_version");
  EXPECT_STREQ(HBN_path_root(), "");
}

TEST(Path, RootPrefixesAbsolutePathsButNotTheProcessTable) {
  hbntest::Sandbox box;
  EXPECT_EQ(HBN_path("/var/kv_cloudfwd.conf"), box.root() + "/var/kv_cloudfwd.conf");
  EXPECT_EQ(HBN_path("/proc/kv_pushsw"), box.root() + "/proc/kv_pushsw");
  EXPECT_EQ(HBN_path("/proc/123/comm"), "/proc/123/comm");
  EXPECT_EQ(HBN_path("relative/file"), "relative/file");
}

TEST(Path, ScriptQueueNameFollowsTheEnvironment) {
  unsetenv("HBN_SCRIPT_QUEUE");
  EXPECT_STREQ(HBN_path_scriptQueue(), "/tx440_script");
  setenv("HBN_SCRIPT_QUEUE", "/hbn_q_test", 1);
  EXPECT_STREQ(HBN_path_scriptQueue(), "/hbn_q_test");
  unsetenv("HBN_SCRIPT_QUEUE");
}

TEST(Cmd, SandboxBinComesFirstOnThePath) {
  hbntest::Sandbox box;
  box.fakeCommand("reboot");
  int status = HBN_cmd_system("reboot now");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(box.recorded("reboot"), "now\n");
}

TEST(Cmd, ExecPassesOneArgumentWithoutAShell) {
  hbntest::Sandbox box;
  box.fakeCommand("wget");
  const char* argv[] = {"wget", "http://x/a b;touch /tmp/pwned", nullptr};
  EXPECT_EQ(HBN_cmd_exec(argv), 0);
  EXPECT_EQ(box.recorded("wget"), "http://x/a b;touch /tmp/pwned\n");
  const char* missing[] = {"no-such-command-anywhere", nullptr};
  EXPECT_EQ(HBN_cmd_exec(missing), -1);
}

TEST(Cmd, PopenReadsTheCommandsOutput) {
  hbntest::Sandbox box;
  box.fakeCommand("flash", "echo HW_NIC0_ADDR=001122334455");
  FILE* f = HBN_cmd_popen("flash get HW_NIC0_ADDR", "r");
  ASSERT_NE(f, nullptr);
  char line[128] = {0};
  ASSERT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "HW_NIC0_ADDR=001122334455\n");
  EXPECT_EQ(HBN_cmd_pclose(f), 0);
  EXPECT_EQ(box.recorded("flash"), "get HW_NIC0_ADDR\n");
}

TEST(Cmd, CommandsInheritNoDescriptorBeyondTheStandardThree) {
  hbntest::Sandbox box;
  // A descriptor the agent holds (like its broker socket) without close-on-exec.
  int held = open("/dev/null", O_RDONLY);
  ASSERT_GE(held, 3);
  box.fakeCommand("sysconf", "ls /proc/$$/fd > '" + box.path("/record/fds") + "'");
  EXPECT_EQ(HBN_cmd_system("sysconf switch_wan eth0 wwan0"), 0);
  std::string fds = box.read("/record/fds");
  EXPECT_EQ(fds.find("\n" + std::to_string(held) + "\n"), std::string::npos) << fds;
  close(held);
}

TEST(Cmd, BoundedCommandsEndWithWhatTheyStarted) {
  hbntest::Sandbox box;
  box.fakeCommand("kv_lte_reset.sh", "sleep 30 & echo $! > '" + box.path("/record/child") + "'; sleep 30");
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(HBN_cmd_systemTimeout("kv_lte_reset.sh", 300), -2);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  int child = atoi(box.read("/record/child").c_str());
  ASSERT_GT(child, 0);
  // The background child of the script went with it.
  EXPECT_TRUE(hbntest::waitUntil([&] { return hbntest::processGone(child); }, 2000));
  const char* argv[] = {"kv_lte_reset.sh", nullptr};
  box.fakeCommand("kv_lte_reset.sh", "exit 3");
  int status = HBN_cmd_execTimeout(argv, 5000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
}

// The process ids a hanging fake wrote, one a line.
std::vector<pid_t> pidsIn(const std::string& text) {
  std::vector<pid_t> pids;
  std::istringstream in(text);
  for (long pid; in >> pid;) pids.push_back(static_cast<pid_t>(pid));
  return pids;
}

// A caller killed while its command runs takes the command and what it started (here a shell
// script and its background child) with it; a command meant to outlive it (a reboot) goes on.
TEST(Cmd, CommandsEndWithTheirCallerUnlessMeantToOutliveIt) {
  hbntest::Sandbox box;
  box.mkdirs("/record");
  const std::string pids = box.path("/record/pids");
  box.fakeCommand("kv_hang.sh", "echo $$ >> '" + pids + "'; sleep 60 & echo $! >> '" + pids + "'; wait");
  static const char* const argv[] = {"kv_hang.sh", nullptr};
  struct Case {
    const char* runner;
    int (*run)();
    bool endsWithCaller;
  };
  const Case cases[] = {
      {"system", [] { return HBN_cmd_system("kv_hang.sh"); }, true},
      {"exec", [] { return HBN_cmd_exec(argv); }, true},
      {"systemTimeout", [] { return HBN_cmd_systemTimeout("kv_hang.sh", 60000); }, true},
      {"execTimeout", [] { return HBN_cmd_execTimeout(argv, 60000); }, true},
      {"systemOutliving", [] { return HBN_cmd_systemOutliving("kv_hang.sh", 60000); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.runner);
    unlink(pids.c_str());
    pid_t caller = fork();
    if (caller == 0) _exit(c.run() == -1 ? 1 : 0);
    ASSERT_GT(caller, 0);
    std::vector<pid_t> started;
    EXPECT_TRUE(hbntest::waitUntil(
        [&] {
          started = pidsIn(box.read("/record/pids"));
          return started.size() == 2;
        },
        5000));
    kill(caller, SIGKILL);
    waitpid(caller, nullptr, 0);
    auto allGone = [&] {
      for (pid_t pid : started)
        if (!hbntest::processGone(pid)) return false;
      return true;
    };
    if (c.endsWithCaller) {
      EXPECT_TRUE(hbntest::waitUntil(allGone, 5000));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_FALSE(allGone());
    }
    for (pid_t pid : started)
      if (!hbntest::processGone(pid)) kill(pid, SIGKILL);
  }
}

// Settings in seconds reach a sleep or a timed wait as an int of milliseconds: they are clamped
// before the multiplication, which would wrap in a 32-bit long (the box's) or an int.
TEST(Time, SecondsSettingsBecomeMillisecondsWithoutOverflow) {
  struct Case {
    long scale;
    long seconds;
    long ms;
  };
  const Case cases[] = {
      {1, LONG_MIN, 0},
      {1, -1, 0},
      {1, 0, 0},
      {1, 1, 1000},
      {1, 86400, 86400000},
      {1, HBN_TIME_MAX_SECONDS, 2147483000},
      {1, HBN_TIME_MAX_SECONDS + 1, 2147483000},
      {1, INT32_MAX, 2147483000},
      {1, LONG_MAX, 2147483000},
      {1000, 1, 1},
      {1000, 60, 60},
      {1000, INT32_MAX, 2147483},
      {1000, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.seconds) + " s at scale " + std::to_string(c.scale));
    setenv("HBN_TIME_SCALE", std::to_string(c.scale).c_str(), 1);
    long ms = HBN_time_scaledSecondsMs(c.seconds);
    EXPECT_EQ(ms, c.ms);
    EXPECT_LE(ms, static_cast<long>(INT_MAX));
  }
  unsetenv("HBN_TIME_SCALE");
}

// A command's bound follows the scale down to what a program needs to start and run.
TEST(Time, CommandBoundsScaleButNotBelowTheFloor) {
  struct Case {
    long scale;
    long ms;
    long bound;
  };
  const Case cases[] = {
      {1, 30000, 30000},   {6, 30000, 5000},  {60, 30000, 5000}, {60, 600000, 10000},
      {600, 600000, 5000}, {100, 3000, 3000}, {1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.ms) + " ms at scale " + std::to_string(c.scale));
    setenv("HBN_TIME_SCALE", std::to_string(c.scale).c_str(), 1);
    EXPECT_EQ(HBN_time_scaledBound(c.ms), c.bound);
  }
  unsetenv("HBN_TIME_SCALE");
}

TEST(Time, ScaleDividesButNeverReachesZero) {
  unsetenv("HBN_TIME_SCALE");
  EXPECT_EQ(HBN_time_scaled(86400000), 86400000);
  setenv("HBN_TIME_SCALE", "1000", 1);
  EXPECT_EQ(HBN_time_scaled(86400000), 86400);
  EXPECT_EQ(HBN_time_scaled(100), 1);
  unsetenv("HBN_TIME_SCALE");
}
