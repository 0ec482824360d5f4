// Test-side client of the simulator: process start, control lines, log reading.
#include "zipgw_sim_client.h"

#include <sys/prctl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

extern char** environ;
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "hbn_test.h"

namespace zipgwsim {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename Pred>
bool waitFor(Pred pred, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

size_t countLines(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const auto& l : lines) {
    if (l == text) ++n;
  }
  return n;
}

}  // namespace

Bytes fromHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':') continue;
    int v = hexValue(c);
    if (v < 0) return {};
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) return {};
  return out;
}

std::string toHex(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

Client::Client(std::string root, std::vector<std::string> extraArgs)
    : root_(std::move(root)), args_(std::move(extraArgs)) {}

Client::~Client() {
  if (pid_ > 0) {
    if (ctlFd_ >= 0) {
      const char quit[] = "quit\n";
      ssize_t ignored = write(ctlFd_, quit, sizeof(quit) - 1);
      (void)ignored;
    }
    if (waitExit(1000) == -1 && pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  if (ctlFd_ >= 0) close(ctlFd_);
}

std::string Client::logPath() const { return root_ + "/tmp/zipgw-sim.log"; }
std::string Client::ctlPath() const { return root_ + "/tmp/zipgw-sim.ctl"; }

bool Client::start(int timeoutMs) {
  std::vector<std::string> words{hbntest::binPath("zipgw-sim")};
  words.insert(words.end(), args_.begin(), args_.end());
  words = hbntest::programArgv(words);
  // Everything the child needs is prepared before fork(): the test process has threads.
  std::string rootEnv = "HBN_ROOT=" + root_;
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "HBN_ROOT=", 9) != 0) envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(rootEnv.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv = hbntest::execArgs(words);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test that died
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  bool ready = waitFor(
      [&] {
        auto lines = logLines();
        return countLines(lines, "READY") > 0;
      },
      timeoutMs);
  if (!ready) return false;
  // The simulator keeps its own descriptor on the control FIFO, so this open never blocks.
  ctlFd_ = open(ctlPath().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  return ctlFd_ >= 0;
}

bool Client::command(const std::string& line, int timeoutMs) { return commands({line}, timeoutMs); }

bool Client::commands(const std::vector<std::string>& lines, int timeoutMs) {
  if (ctlFd_ < 0 || lines.empty()) return false;
  std::string text;
  for (const std::string& line : lines) {
    if (line.find('\n') != std::string::npos) return false;
    text += line + "\n";
  }
  if (write(ctlFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
  sentLines_ += static_cast<int>(lines.size());
  int number = sentLines_;
  std::string prefix = "CTL " + std::to_string(number) + " ";
  return waitFor(
      [&] {
        for (const auto& l : logLines()) {
          if (l.compare(0, prefix.size(), prefix) == 0) return true;
        }
        return false;
      },
      timeoutMs);
}

bool Client::waitConnected(int count, int timeoutMs) {
  return waitFor([&] { return countLines(logLines(), "CONNECTED") >= static_cast<size_t>(count); },
                 timeoutMs);
}

bool Client::waitHangup(int count, int timeoutMs) {
  return waitFor([&] { return countLines(logLines(), "HANGUP") >= static_cast<size_t>(count); }, timeoutMs);
}

std::vector<std::string> Client::logLines() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath());
  std::string line;
  while (std::getline(in, line)) {
    if (!in.eof() || !line.empty()) lines.push_back(line);
  }
  return lines;
}

namespace {
std::vector<Bytes> withPrefix(const std::vector<std::string>& lines, const char* prefix) {
  std::vector<Bytes> out;
  size_t n = strlen(prefix);
  for (const auto& l : lines) {
    if (l.compare(0, n, prefix) == 0) out.push_back(fromHex(l.substr(n)));
  }
  return out;
}
}  // namespace

std::vector<Bytes> Client::received() const { return withPrefix(logLines(), "RX "); }
std::vector<Bytes> Client::sent() const { return withPrefix(logLines(), "TX "); }

std::vector<Bytes> Client::commands() const {
  std::vector<Bytes> out;
  for (const auto& body : received()) {
    // node ID, 0x23 0x02, flags 0, flags 1, sequence, endpoints, [extension], command
    if (body.size() < 8 || body[1] != 0x23 || body[2] != 0x02) continue;
    size_t pos = 8;
    if (body[4] & 0x80) {
      if (pos >= body.size()) continue;
      pos += body[pos];
    }
    if (pos > body.size()) continue;
    Bytes cmd;
    cmd.push_back(body[0]);
    cmd.insert(cmd.end(), body.begin() + static_cast<long>(pos), body.end());
    out.push_back(cmd);
  }
  return out;
}

bool Client::waitCommands(size_t count, int timeoutMs) {
  return waitFor([&] { return commands().size() >= count; }, timeoutMs);
}

bool Client::waitReceived(size_t count, int timeoutMs) {
  return waitFor([&] { return received().size() >= count; }, timeoutMs);
}

int Client::waitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int status = 0;
  bool done = waitFor(
      [&] {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        return r == pid_;
      },
      timeoutMs);
  if (!done) return -1;
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace zipgwsim
