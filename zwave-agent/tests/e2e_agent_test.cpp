// The built zwave-cloud-agent in a sandbox: start-up notices, the version file, and push-switch
// readings turned into script requests on a real message queue.
#include <sys/prctl.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "hbn_test.h"

namespace {

using Clock = std::chrono::steady_clock;

// A child process with its standard output on a pipe; killed on destruction.
class Child {
 public:
  Child(const std::string& program, const std::string& errPath, bool captureOut) {
    std::vector<std::string> words = hbntest::programArgv({program});
    std::vector<char*> args = hbntest::execArgs(words);
    int fds[2] = {-1, -1};
    if (captureOut && pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test that died
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) dup2(err, 2);
      if (captureOut) {
        dup2(fds[1], 1);
      } else if (err >= 0) {
        dup2(err, 1);
      }
      execv(args[0], args.data());
      _exit(127);
    }
    if (captureOut) {
      close(fds[1]);
      out_ = fds[0];
    }
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  // Reads output until a line equal to `line` arrives (true) or the time is up.
  bool waitLine(const std::string& line, int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      for (; scanned_ < lines_.size(); ++scanned_)
        if (lines_[scanned_] == line) {
          ++scanned_;
          return true;
        }
      int left =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
      if (left <= 0 || out_ < 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return false;
      char buf[4096];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      partial_.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, nl));
        partial_.erase(0, nl + 1);
      }
    }
  }
  // The exit status once the process ended by itself within the time, else -1.
  int waitExit(int timeoutMs) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string partial_;
  std::vector<std::string> lines_;
  size_t scanned_ = 0;
};

class Agent : public ::testing::Test {
 protected:
  void SetUp() override {
    queueName_ = hbntest::uniqueName("/agent");
    setenv("HBN_SCRIPT_QUEUE", queueName_.c_str(), 1);
    queue_ = mq_open(queueName_.c_str(), O_CREAT | O_EXCL | O_RDONLY, 0600, nullptr);
    ASSERT_NE(queue_, static_cast<mqd_t>(-1));
    std::string image(7492, '\0');
    image.replace(0, 4, "HNVM");
    sb_.write("/jffs2/hbn/setting.bin", image);
    sb_.write("/etc/hbn/setting.bin", image);
    sb_.write("/etc/build.info", "09.08.07.06\n");
    sb_.write("/proc/kv_pushsw", "N00000000\n");  // idle: no letter the driver uses
  }
  void TearDown() override {
    mq_close(queue_);
    mq_unlink(queueName_.c_str());
    unsetenv("HBN_SCRIPT_QUEUE");
  }
  // The Z/IP gateway simulator, when it is part of the build, so the core finds its pipes.
  void startGateway() {
    std::string sim = hbntest::binPath("zipgw-sim");
    if (access(sim.c_str(), X_OK) != 0) return;
    gateway_.reset(new Child(sim, sb_.path("/tmp/zipgw-sim.err"), false));
    auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end && sb_.read("/tmp/zipgw-sim.log").find("READY") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The switch driver's reading, replaced in one step.
  void setSwitch(const std::string& reading) {
    sb_.write("/proc/kv_pushsw.new", reading);
    ASSERT_EQ(rename(sb_.path("/proc/kv_pushsw.new").c_str(), sb_.path("/proc/kv_pushsw").c_str()), 0);
  }
  std::string nextMessage(int timeoutMs) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeoutMs / 1000;
    until.tv_nsec += (timeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    char buf[8192];
    ssize_t n = mq_timedreceive(queue_, buf, sizeof buf, nullptr, &until);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
  }

  hbntest::Sandbox sb_;
  std::string queueName_;
  mqd_t queue_ = static_cast<mqd_t>(-1);
  std::unique_ptr<Child> gateway_;
};

TEST_F(Agent, StartsReportsVersionAndTurnsSwitchHoldsIntoScriptRequests) {
  startGateway();
  Child agent(hbntest::binPath("zwave-cloud-agent"), sb_.path("/tmp/agent.err"), true);
  ASSERT_TRUE(agent.waitLine("KV_TX440:HBNKV_stateChangeNotice:state=startup")) << sb_.read("/tmp/agent.err");
  ASSERT_TRUE(agent.waitLine("KV_TX440:HBNKV_stateChangeNotice:state=idle")) << sb_.read("/tmp/agent.err");
  ASSERT_TRUE(agent.waitLine("KV_TX440:Version:09.08.07.06"));
  auto end = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < end && sb_.read("/var/pqv_version").empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(sb_.read("/var/pqv_version"), "09.08.07.06");  // no line end

  // The idle reading arms the monitor within a cycle; then a 2-second hold is level 1.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  setSwitch("P000007D0\n");
  EXPECT_EQ(nextMessage(2000), "0,1");
  EXPECT_TRUE(agent.waitLine("execScriptRequest(0,1)"));
  EXPECT_TRUE(agent.waitLine("send msg=3,0,1"));
  setSwitch("R00000FA0\n");
  EXPECT_EQ(nextMessage(2000), "1,3");
  setSwitch("N00000000\n");
}

TEST_F(Agent, MissingSettingsFileIsASystemFailure) {
  std::remove(sb_.path("/jffs2/hbn/setting.bin").c_str());
  Child agent(hbntest::binPath("zwave-cloud-agent"), sb_.path("/tmp/agent.err"), true);
  EXPECT_TRUE(agent.waitLine("KV_TX440:HBNKV_stateChangeNotice:state=startup"));
  EXPECT_TRUE(agent.waitLine("KV_TX440:HBNKV_stateChangeNotice:state=system failure"));
  EXPECT_EQ(agent.waitExit(3000), 1);
  EXPECT_FALSE(sb_.exists("/var/pqv_version"));
}

}  // namespace
