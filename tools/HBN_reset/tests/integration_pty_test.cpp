// HBN_reset as a program against a pseudo-terminal that plays the Z-Wave chip.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "hbn_reset.h"
#include "hbn_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kVersionRequest = {0x01, 0x03, 0x00, 0x15, 0xE9};
const Bytes kSetDefault = {0x01, 0x04, 0x00, 0x42, 0x01, 0xB8};

long long nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The chip side of a pseudo-terminal.
class Chip {
 public:
  Chip() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) ADD_FAILURE() << "no pty";
    char name[128] = {};
    ptsname_r(master_, name, sizeof name);
    tty_ = name;
  }
  ~Chip() {
    if (master_ >= 0) close(master_);
  }
  const std::string& tty() const { return tty_; }
  // Reads exactly n bytes, or what arrived before the time limit.
  Bytes read(size_t n, int timeoutMs = 2000) {
    Bytes got;
    long long deadline = nowMs() + timeoutMs;
    while (got.size() < n) {
      long long left = deadline - nowMs();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[64];
      ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  void send(const Bytes& b) {
    ASSERT_EQ(::write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
  }

 private:
  int master_ = -1;
  std::string tty_;
};

Bytes versionAnswer() {
  // "Z-Wave 6.07" and its NUL (12 bytes of text), then the library type.
  Bytes f = {0x01, 0x10, 0x01, 0x15, 'Z', '-', 'W', 'a', 'v', 'e', ' ', '6', '.', '0', '7', 0x00, 0x07};
  f.push_back(hbnreset::checksum(f.data() + 1, f.size() - 1));
  return f;
}

// The tool as a child process with its standard output on a pipe.
class Tool {
 public:
  Tool(const std::vector<std::string>& args, const std::string& timeScale) {
    std::vector<std::string> words{hbntest::binPath("HBN_reset")};
    words.insert(words.end(), args.begin(), args.end());
    words = hbntest::programArgv(words);
    std::vector<char*> argv = hbntest::execArgs(words);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      setenv("HBN_TIME_SCALE", timeScale.c_str(), 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~Tool() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  // Output up to and including the first line that contains `text` (or all before the limit).
  std::string readUntil(const std::string& text, int timeoutMs = 3000) {
    long long deadline = nowMs() + timeoutMs;
    while (output_.find(text) == std::string::npos) {
      long long left = deadline - nowMs();
      if (left <= 0) break;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[256];
      ssize_t r = ::read(out_, buf, sizeof buf);
      if (r <= 0) break;
      output_.append(buf, static_cast<size_t>(r));
    }
    return output_;
  }
  // Waits for the exit (bounded) and returns the status; the whole output is in output().
  int wait(int timeoutMs = 3000) {
    readUntil(std::string(1, '\0'), timeoutMs);  // reads to end of output
    long long deadline = nowMs() + timeoutMs;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (nowMs() > deadline) return -1;
      usleep(5000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

TEST(HbnResetPty, BadChecksumIsNakedThenVersionAndSetDefault) {
  Chip chip;
  Tool tool({chip.tty()}, "4");  // 500 ms answer limit, 1 s after set default
  EXPECT_EQ(chip.read(5), kVersionRequest);
  Bytes bad = versionAnswer();
  bad.back() ^= 0xFF;
  chip.send({0x06});
  chip.send(bad);
  EXPECT_EQ(chip.read(1), Bytes{0x15});
  chip.send(versionAnswer());
  EXPECT_EQ(chip.read(1), Bytes{0x06});
  EXPECT_EQ(chip.read(6), kSetDefault);
  EXPECT_EQ(tool.wait(), 0);
  EXPECT_EQ(tool.output(), "version[Z-Wave 6.07]\n");
}

TEST(HbnResetPty, SilentChipEndsInBoundedFailure) {
  Chip chip;
  long long start = nowMs();
  Tool tool({chip.tty()}, "100");  // 20 ms answer limit and pause
  EXPECT_EQ(tool.wait(), 1);
  EXPECT_LT(nowMs() - start, 2500);
  Bytes sent = chip.read(100, 200);
  EXPECT_EQ(sent.size(), 10 * kVersionRequest.size());
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 5), kVersionRequest);
  EXPECT_NE(tool.output().find("ERR:Z-Wave chip does not answer\n"), std::string::npos);
}

TEST(HbnResetPty, DeviceThatAppearsAtTheThirdTry) {
  hbntest::Sandbox box;
  Chip chip;
  std::string link = box.path("/dev/ttyZW");
  Tool tool({link}, "4");  // 500 ms between open attempts
  std::string out = tool.readUntil("retry(1)");
  ASSERT_EQ(out, "WAR:device open fail.retry(0)\nWAR:device open fail.retry(1)\n");
  ASSERT_EQ(symlink(chip.tty().c_str(), link.c_str()), 0);
  EXPECT_EQ(chip.read(5), kVersionRequest);
  chip.send(versionAnswer());
  EXPECT_EQ(chip.read(7), (Bytes{0x06, 0x01, 0x04, 0x00, 0x42, 0x01, 0xB8}));
  EXPECT_EQ(tool.wait(), 0);
  EXPECT_EQ(tool.output(),
            "WAR:device open fail.retry(0)\nWAR:device open fail.retry(1)\nversion[Z-Wave 6.07]\n");
}

TEST(HbnResetPty, ArgumentsAndNonTerminals) {
  hbntest::Sandbox box;
  box.write("/dev/notatty", "");
  for (const auto& args : std::vector<std::vector<std::string>>{{"HBN_reset"}, {"HBN_reset", "a", "b"}}) {
    hbntest::Result r = hbntest::run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "usage:HBN_reset tty\n");
  }
  hbntest::Result r = hbntest::run({"HBN_reset", box.path("/dev/notatty")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERR:get device attr fail\n");
}

}  // namespace
