#include "hbn_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "hbn_test.h"

extern char** environ;

namespace hbntest {

bool Process::start(const std::vector<std::string>& argvIn, const std::string& outPath,
                    const std::string& errPath, const std::vector<std::string>& env) {
  kill();
  if (argvIn.empty()) return false;
  // Everything the child needs is built here: after fork only async-signal-safe calls.
  std::vector<std::string> argvText = argvIn;
  if (argvText[0].find('/') == std::string::npos) argvText[0] = binPath(argvText[0]);
  // Programs of the build go through the emulator of a cross build; others do not.
  const std::string ownDir = binPath("");
  if (argvText[0].compare(0, ownDir.size(), ownDir) == 0) argvText = programArgv(argvText);
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const auto& extra : env)
      if (extra.compare(0, key.size(), key) == 0) replaced = true;
    if (!replaced) envText.push_back(entry);
  }
  for (const auto& extra : env) envText.push_back(extra);
  std::vector<char*> argv, envp;
  for (auto& a : argvText) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (auto& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
    if (getppid() != parent) _exit(127);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  status_ = -1;
  return pid_ > 0;
}

void Process::reaped(int waitStatus) {
  status_ = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
  pid_ = -1;
}

bool Process::running() {
  if (pid_ <= 0) return false;
  int waitStatus = 0;
  if (waitpid(pid_, &waitStatus, WNOHANG) == pid_) {
    reaped(waitStatus);
    return false;
  }
  return true;
}

bool Process::stop(int signal, int timeoutMs) {
  if (pid_ <= 0) return true;
  ::kill(pid_, signal);
  for (int waited = 0; waited <= timeoutMs; waited += 10) {
    if (!running()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void Process::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int waitStatus = 0;
  if (waitpid(pid_, &waitStatus, 0) == pid_) reaped(waitStatus);
  pid_ = -1;
}

bool processGone(pid_t pid) {
  if (pid <= 0) return true;
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return true;
  char line[512] = {0};
  bool read = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  // "pid (comm) S ...": the state follows the last ')'.
  const char* close = read ? strrchr(line, ')') : nullptr;
  return close == nullptr || close[1] == '\0' || close[2] == 'Z' || close[2] == 'X';
}

}  // namespace hbntest
