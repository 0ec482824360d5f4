#include "hbn_path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

const char* HBN_path_root() {
  const char* root = getenv("HBN_ROOT");
  return root ? root : "";
}

std::string HBN_path(const char* absolutePath) {
  if (absolutePath == nullptr) return std::string();
  const char* root = HBN_path_root();
  if (root[0] == '\0' || absolutePath[0] != '/') return absolutePath;
  // The live process table stays the machine's own.
  if (strncmp(absolutePath, "/proc/", 6) == 0 && absolutePath[6] >= '0' && absolutePath[6] <= '9')
    return absolutePath;
  if (strncmp(absolutePath, "/proc/self/", 11) == 0) return absolutePath;
  std::string rooted(root);
  while (!rooted.empty() && rooted.back() == '/') rooted.pop_back();
  return rooted + absolutePath;
}

const char* HBN_path_scriptQueue() {
  const char* name = getenv("HBN_SCRIPT_QUEUE");
  return (name && name[0] == '/') ? name : "/tx440_script";
}

long HBN_time_scaled(long milliseconds) {
  const char* text = getenv("HBN_TIME_SCALE");
  long scale = text ? strtol(text, nullptr, 10) : 1;
  if (scale <= 1) return milliseconds;
  long scaled = milliseconds / scale;
  return (milliseconds > 0 && scaled < 1) ? 1 : scaled;
}

long HBN_time_scaledSecondsMs(long seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > HBN_TIME_MAX_SECONDS) seconds = HBN_TIME_MAX_SECONDS;
  return HBN_time_scaled(seconds * 1000);
}

long long HBN_time_scaledNowMs() {
  const char* text = getenv("HBN_TIME_SCALE");
  long scale = text ? strtol(text, nullptr, 10) : 1;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return scale > 1 ? ms * scale : ms;
}

namespace {

// The environment handed to every platform command: the caller's, with the sandbox's
// bin and sbin first on PATH when a root is set. Built in the parent so the child only execs.
std::vector<std::string> commandEnvironment() {
  std::vector<std::string> env;
  std::string root = HBN_path_root();
  const char* path = getenv("PATH");
  std::string newPath = path ? path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  if (!root.empty()) {
    while (!root.empty() && root.back() == '/') root.pop_back();
    newPath = root + "/bin:" + root + "/sbin:" + newPath;
  }
  for (char** e = environ; e && *e; ++e) {
    if (strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
  }
  env.push_back("PATH=" + newPath);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

// Searches PATH of `env` for `name` the way execvp would; returns "" when not found.
std::string findOnPath(const char* name, const std::vector<std::string>& env) {
  if (strchr(name, '/') != nullptr) return name;
  std::string path;
  for (const auto& e : env)
    if (e.compare(0, 5, "PATH=") == 0) path = e.substr(5);
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

int waitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Forks and execs `file` with `argv`; `childFd`/`targetFd` optionally wire a pipe end to
// the child's stdin or stdout. Returns the child's pid or -1.
// The child keeps only standard input, output and error: sockets and pipes of the agent (its
// broker connections among them) must not live on in a command that outlasts them. With
// `ownGroup` the child leads a process group of its own, so a time-out can end it with
// everything it started.
pid_t spawn(const std::string& file, char* const argv[], int childFd, int targetFd, int closeFd,
            bool ownGroup = false) {
  std::vector<std::string> envStrings = commandEnvironment();
  std::vector<char*> envp = pointers(envStrings);
  long maxFd = sysconf(_SC_OPEN_MAX);
  if (maxFd < 0 || maxFd > 65536) maxFd = 65536;
  pid_t pid = fork();
  if (pid == 0) {
    if (ownGroup) setpgid(0, 0);
    if (childFd >= 0) {
      dup2(childFd, targetFd);
      if (childFd != targetFd) close(childFd);
    }
    if (closeFd >= 0) close(closeFd);
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
      for (long fd = 3; fd < maxFd; ++fd) close(static_cast<int>(fd));
    execve(file.c_str(), argv, envp.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid` at most `timeoutMs`; past it the child's process group is killed and -2
// returned.
int waitChildTimeout(pid_t pid, long timeoutMs) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long pauseMs = 1;
  for (;;) {
    int status = 0;
    pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long elapsed = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (elapsed >= timeoutMs) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitChild(pid);
      return -2;
    }
    struct timespec pause = {0, pauseMs * 1000000L};
    nanosleep(&pause, nullptr);
    if (pauseMs < 20) pauseMs *= 2;
  }
}

std::mutex gPopenLock;
std::map<FILE*, pid_t> gPopenChildren;

}  // namespace

int HBN_cmd_system(const char* commandLine) {
  if (commandLine == nullptr) return -1;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(commandLine), nullptr};
  pid_t pid = spawn("/bin/sh", argv, -1, -1, -1);
  if (pid < 0) return -1;
  return waitChild(pid);
}

int HBN_cmd_exec(const char* const argv[]) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  std::string file = findOnPath(argv[0], commandEnvironment());
  if (file.empty()) return -1;
  pid_t pid = spawn(file, const_cast<char* const*>(argv), -1, -1, -1);
  if (pid < 0) return -1;
  return waitChild(pid);
}

int HBN_cmd_systemTimeout(const char* commandLine, long timeoutMs) {
  if (commandLine == nullptr) return -1;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(commandLine), nullptr};
  pid_t pid = spawn("/bin/sh", argv, -1, -1, -1, true);
  if (pid < 0) return -1;
  return waitChildTimeout(pid, timeoutMs);
}

int HBN_cmd_execTimeout(const char* const argv[], long timeoutMs) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  std::string file = findOnPath(argv[0], commandEnvironment());
  if (file.empty()) return -1;
  pid_t pid = spawn(file, const_cast<char* const*>(argv), -1, -1, -1, true);
  if (pid < 0) return -1;
  return waitChildTimeout(pid, timeoutMs);
}

FILE* HBN_cmd_popen(const char* commandLine, const char* mode) {
  if (commandLine == nullptr || mode == nullptr || (mode[0] != 'r' && mode[0] != 'w')) return nullptr;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  bool reading = mode[0] == 'r';
  int parentEnd = reading ? fds[0] : fds[1];
  int childEnd = reading ? fds[1] : fds[0];
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(commandLine), nullptr};
  pid_t pid = spawn("/bin/sh", argv, childEnd, reading ? STDOUT_FILENO : STDIN_FILENO, parentEnd);
  close(childEnd);
  if (pid < 0) {
    close(parentEnd);
    return nullptr;
  }
  FILE* stream = fdopen(parentEnd, reading ? "r" : "w");
  if (stream == nullptr) {
    close(parentEnd);
    waitChild(pid);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(gPopenLock);
  gPopenChildren[stream] = pid;
  return stream;
}

int HBN_cmd_pclose(FILE* stream) {
  pid_t pid = -1;
  {
    std::lock_guard<std::mutex> guard(gPopenLock);
    auto it = gPopenChildren.find(stream);
    if (it == gPopenChildren.end()) return -1;
    pid = it->second;
    gPopenChildren.erase(it);
  }
  fclose(stream);
  return waitChild(pid);
}
