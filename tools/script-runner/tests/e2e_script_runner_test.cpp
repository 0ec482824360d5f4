// script-runner as a real process on a real POSIX queue, running sandbox scripts that
// record that they ran.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hbn_test.h"

namespace {

using Clock = std::chrono::steady_clock;

// The daemon as a child process with its standard error collected.
class Daemon {
 public:
  explicit Daemon(const hbntest::Sandbox& box, std::string queue = hbntest::uniqueName("/hbn_sr"))
      : queue_(std::move(queue)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> words = hbntest::programArgv({hbntest::binPath("script-runner")});
    std::vector<char*> args = hbntest::execArgs(words);
    std::string rootEnv = "HBN_ROOT=" + box.root();
    std::string queueEnv = "HBN_SCRIPT_QUEUE=" + queue_;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 2);
      dup2(fds[1], 1);
      putenv(const_cast<char*>(rootEnv.c_str()));
      putenv(const_cast<char*>(queueEnv.c_str()));
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    err_ = fds[0];
  }
  ~Daemon() {
    if (pid_ > 0 && !stopped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      mq_unlink(queue_.c_str());
    }
    if (err_ >= 0) close(err_);
  }

  const std::string& queue() const { return queue_; }

  // Waits for the daemon to create its queue.
  bool ready() {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline) {
      mqd_t q = mq_open(queue_.c_str(), O_WRONLY);
      if (q != static_cast<mqd_t>(-1)) {
        mq_close(q);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Sends raw bytes the way the agents do.
  void send(const std::string& text) {
    mqd_t q = mq_open(queue_.c_str(), O_WRONLY);
    ASSERT_NE(q, static_cast<mqd_t>(-1)) << strerror(errno);
    ASSERT_EQ(mq_send(q, text.data(), text.size(), 0), 0) << strerror(errno);
    mq_close(q);
  }

  // Collects output until `pattern` matches somewhere in it; returns the first match.
  std::smatch waitFor(const std::string& pattern, int timeoutMs = 3000) {
    std::regex re(pattern);
    std::smatch match;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      if (std::regex_search(log_, match, re)) return match;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pump(static_cast<int>(left));
    }
    ADD_FAILURE() << "no line matching " << pattern << " in:\n" << log_;
    return match;
  }

  // Collects output until `text` has appeared `count` times.
  void waitForCount(const std::string& text, size_t count, int timeoutMs = 3000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (occurrences(text) < count && Clock::now() < deadline) pump(20);
    EXPECT_EQ(occurrences(text), count) << "'" << text << "' in:\n" << log_;
  }

  size_t occurrences(const std::string& text) const {
    size_t count = 0;
    for (size_t p = log_.find(text); p != std::string::npos; p = log_.find(text, p + 1)) ++count;
    return count;
  }

  // Reads whatever arrives within `ms`.
  void pump(int ms) {
    pollfd p{err_, POLLIN, 0};
    if (poll(&p, 1, ms) > 0) {
      char buf[4096];
      ssize_t got = read(err_, buf, sizeof buf);
      if (got > 0) log_.append(buf, static_cast<size_t>(got));
    }
  }

  // SIGINT, then the exit status (or -1).
  int stop() {
    kill(pid_, SIGINT);
    int status = 0;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) pump(10);
    pump(0);
    if (done != pid_) return -1;
    stopped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& log() const { return log_; }
  pid_t pid() const { return pid_; }

 private:
  std::string queue_;
  pid_t pid_ = -1;
  int err_ = -1;
  bool stopped_ = false;
  std::string log_;
};

// A script number no parallel test shares (the running check looks at the whole machine).
int uniqueNumber() {
  static int next = 0;
  return 10000 + (getpid() % 8000) * 10 + next++;
}

// A script that appends "ran" to $root/record/<tag> and then runs `body`.
void writeScript(const hbntest::Sandbox& box, const std::string& path, const std::string& tag,
                 const std::string& body = "", int mode = 0755) {
  box.write(path, "#!/bin/sh\necho ran >> '" + box.path("/record/" + tag) + "'\n" + body + "\n", mode);
}

bool queueExists(const std::string& name) {
  mqd_t q = mq_open(name.c_str(), O_WRONLY);
  if (q == static_cast<mqd_t>(-1)) return false;
  mq_close(q);
  return true;
}

bool processGone(pid_t pid) {
  std::string status = "/proc/" + std::to_string(pid);
  struct stat st;
  return stat(status.c_str(), &st) != 0;
}

TEST(ScriptRunner, EachKindRunsItsScript) {
  hbntest::Sandbox box;
  int n = uniqueNumber();
  struct Case {
    std::string message, path;
  } cases[] = {
      {"0," + std::to_string(n), "/jffs2/button/button_" + std::to_string(n) + ".sh"},
      {"1," + std::to_string(n), "/jffs2/button/button_" + std::to_string(n) + "_r.sh"},
      {"2,7", "/jffs2/script440/script440_7.sh"},
  };
  for (size_t i = 0; i < 3; ++i) writeScript(box, cases[i].path, "case" + std::to_string(i));
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());
  for (size_t i = 0; i < 3; ++i) {
    daemon.send(cases[i].message);
    auto started = daemon.waitFor(
        "notice: SCRIPT execute:" + std::regex_replace(box.path(cases[i].path), std::regex("[.]"), "[.]") +
        ",pid=([0-9]+)\n");
    ASSERT_FALSE(started.empty());
    daemon.waitFor("notice: SCRIPT finish:pid=" + started[1].str() + ",code=0\n");
    EXPECT_EQ(box.recorded("case" + std::to_string(i)), "ran\n") << cases[i].message;
  }
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ScriptRunner, FinishLinesCarryExitCodeOrRawStatus) {
  hbntest::Sandbox box;
  int exits = uniqueNumber();
  int killed = uniqueNumber();
  writeScript(box, "/jffs2/button/button_" + std::to_string(exits) + ".sh", "exits", "exit 2");
  writeScript(box, "/jffs2/button/button_" + std::to_string(killed) + ".sh", "killed", "kill -9 $$");
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());

  daemon.send("0," + std::to_string(exits));
  auto started =
      daemon.waitFor("SCRIPT execute:[^\n]*button_" + std::to_string(exits) + "[.]sh,pid=([0-9]+)");
  ASSERT_FALSE(started.empty());
  daemon.waitFor("notice: SCRIPT finish:pid=" + started[1].str() + ",code=2\n");

  daemon.send("0," + std::to_string(killed));
  started = daemon.waitFor("SCRIPT execute:[^\n]*button_" + std::to_string(killed) + "[.]sh,pid=([0-9]+)");
  ASSERT_FALSE(started.empty());
  daemon.waitFor("err: SCRIPT finish:pid=" + started[1].str() + ",code=9\n");
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ScriptRunner, ScriptsThatCannotRunStartNothing) {
  hbntest::Sandbox box;
  int plain = uniqueNumber();
  int missing = uniqueNumber();
  int broken = uniqueNumber();
  std::string plainName = "button_" + std::to_string(plain) + ".sh";
  writeScript(box, "/jffs2/button/" + plainName, "plain", "", 0644);
  // Executable, but its interpreter does not exist: exec fails in the child.
  std::string brokenPath = "/jffs2/button/button_" + std::to_string(broken) + "_r.sh";
  box.write(brokenPath, "#!/nonexistent/interpreter\n", 0755);
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());

  daemon.send("0," + std::to_string(plain));
  daemon.waitFor("notice: SCRIPT is not executable:" + plainName + "\n");
  daemon.send("0," + std::to_string(missing));
  daemon.waitFor("notice: SCRIPT is not executable:button_" + std::to_string(missing) + "[.]sh\n");
  daemon.send("1," + std::to_string(broken));
  daemon.waitFor("err: SCRIPT execute fail\\(exec\\):" + box.path(brokenPath));
  daemon.waitFor("SCRIPT finish:pid=[0-9]+,code=255\n");
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(box.recorded("plain"), "");
  EXPECT_EQ(daemon.log().find("SCRIPT execute:"),
            daemon.log().rfind("SCRIPT execute:"));  // only the broken one
}

TEST(ScriptRunner, ARunningScriptIsNotStartedTwice) {
  hbntest::Sandbox box;
  int n = uniqueNumber();
  std::string name = "button_" + std::to_string(n) + ".sh";
  std::string release = box.path("/tmp/release");
  writeScript(box, "/jffs2/button/" + name, "long",
              "while [ ! -e '" + release + "' ]; do sleep 0.02; done\ntrue");
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());

  daemon.send("0," + std::to_string(n));
  auto first = daemon.waitFor("SCRIPT execute:[^\n]*,pid=([0-9]+)\n");
  ASSERT_FALSE(first.empty());
  std::string pid = first[1].str();
  daemon.send("0," + std::to_string(n));
  daemon.waitFor("notice: SCRIPT is running:" + name + "," + pid + "\n");

  box.write("/tmp/release", "");
  daemon.waitFor("SCRIPT finish:pid=" + pid + ",code=0\n");
  // Once it has ended (and been reaped) the same script may run again.
  daemon.send("0," + std::to_string(n));
  daemon.waitFor("SCRIPT execute:[^\n]*,pid=(?!" + pid + ")[0-9]+\n");
  daemon.waitFor("SCRIPT finish:pid=(?!" + pid + ")[0-9]+,code=0\n");
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(box.recorded("long"), "ran\nran\n");
}

// Children that end together must each be reaped and logged, not left as zombies.
TEST(ScriptRunner, ChildrenEndingTogetherAreAllReapedAndLogged) {
  hbntest::Sandbox box;
  std::string release = box.path("/tmp/release");
  const int kCount = 5;
  std::vector<int> numbers;
  for (int i = 0; i < kCount; ++i) {
    numbers.push_back(uniqueNumber());
    writeScript(box, "/jffs2/button/button_" + std::to_string(numbers.back()) + ".sh",
                "s" + std::to_string(i),
                "while [ ! -e '" + release + "' ]; do sleep 0.01; done\nexit " + std::to_string(10 + i));
  }
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());
  std::vector<std::string> pids;
  for (int i = 0; i < kCount; ++i) {
    daemon.send("0," + std::to_string(numbers[i]));
    auto m = daemon.waitFor("button_" + std::to_string(numbers[i]) + "[.]sh,pid=([0-9]+)\n");
    ASSERT_FALSE(m.empty());
    pids.push_back(m[1].str());
  }
  box.write("/tmp/release", "");
  for (int i = 0; i < kCount; ++i) {
    daemon.waitFor("SCRIPT finish:pid=" + pids[i] + ",code=" + std::to_string(10 + i) + "\n");
    EXPECT_TRUE(processGone(std::stoi(pids[i]))) << "pid " << pids[i] << " left as a zombie";
  }
  EXPECT_EQ(daemon.stop(), 0);
}

// Requests that wait in the queue while their script ends: every ended copy is reaped before
// the next running check, so a dead copy never refuses a new start.
TEST(ScriptRunner, ScriptsThatHaveEndedDoNotBlockQueuedRequests) {
  hbntest::Sandbox box;
  int n = uniqueNumber();
  writeScript(box, "/jffs2/button/button_" + std::to_string(n) + ".sh", "quick");
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());
  // All ten wait in the queue before the daemon reads the first.
  ASSERT_EQ(kill(daemon.pid(), SIGSTOP), 0);
  for (int i = 0; i < 10; ++i) daemon.send("0," + std::to_string(n));
  ASSERT_EQ(kill(daemon.pid(), SIGCONT), 0);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (daemon.occurrences("notice: SCRIPT execute:") + daemon.occurrences("SCRIPT is running:") < 10 &&
         Clock::now() < deadline)
    daemon.pump(20);
  // A copy may really still run on a loaded machine when the next request comes (the pause
  // between requests is 10 ms), but an ended one never blocks: most requests start a copy.
  size_t started = daemon.occurrences("notice: SCRIPT execute:");
  EXPECT_GE(started, 5u) << daemon.log();
  daemon.waitForCount("notice: SCRIPT finish:", started, 5000);
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(ScriptRunner, MalformedRequestsAreDroppedWithANotice) {
  hbntest::Sandbox box;
  int n = uniqueNumber();
  std::string ns = std::to_string(n);
  writeScript(box, "/jffs2/button/button_" + ns + ".sh", "target");
  writeScript(box, "/jffs2/button/button_" + ns + "_r.sh", "target_r");
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());
  const std::string bad[] = {"",         "abc",      ns,
                             "3," + ns,  "-1," + ns, "0," + ns + "x",
                             "0, " + ns, "0,," + ns, "0,99999999999",
                             "01" + ns,  "0;" + ns,  std::string("0,\x01", 3)};
  size_t sent = 0;
  for (const auto& text : bad) {
    daemon.send(text);
    daemon.waitForCount("notice: SCRIPT bad request:", ++sent);
  }
  EXPECT_NE(daemon.log().find("notice: SCRIPT bad request:0," + ns + "x\n"), std::string::npos);
  EXPECT_NE(daemon.log().find("notice: SCRIPT bad request:0,?\n"), std::string::npos);
  EXPECT_EQ(daemon.log().find("SCRIPT execute"), std::string::npos);
  // The daemon is still serving: a valid request after the bad ones runs.
  daemon.send("1," + ns);
  daemon.waitFor("SCRIPT finish:pid=[0-9]+,code=0\n");
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(box.recorded("target"), "");
  EXPECT_EQ(box.recorded("target_r"), "ran\n");
}

TEST(ScriptRunner, SigintClosesAndUnlinksTheQueue) {
  hbntest::Sandbox box;
  Daemon daemon(box);
  ASSERT_TRUE(daemon.ready());
  EXPECT_TRUE(queueExists(daemon.queue()));
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_FALSE(queueExists(daemon.queue()));
  EXPECT_EQ(errno, ENOENT);
}

TEST(ScriptRunner, QueueOpenFailureExitsWithOne) {
  hbntest::Sandbox box;
  auto r = hbntest::run({"script-runner"}, {"HBN_SCRIPT_QUEUE=/no/such/queue"}, "", 3000);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("mq_open fail: ", 0), 0u) << r.err;
}

}  // namespace
