#include "hbn_path.h"

#include "hbn_platform.h"
#include "hbn_runner_internal.h"

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
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

const char* HBN_path_root() { return hbn::platform().root(); }

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
  const long scale = hbn::platform().timeScale();
  if (scale <= 1) return milliseconds;
  long scaled = milliseconds / scale;
  return (milliseconds > 0 && scaled < 1) ? 1 : scaled;
}

long HBN_time_scaledSecondsMs(long seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > HBN_TIME_MAX_SECONDS) seconds = HBN_TIME_MAX_SECONDS;
  return HBN_time_scaled(seconds * 1000);
}

long HBN_time_scaledBound(long milliseconds) {
  const long scaled = HBN_time_scaled(milliseconds);
  if (scaled >= HBN_CMD_MIN_BOUND_MS) return scaled;
  return milliseconds < HBN_CMD_MIN_BOUND_MS ? milliseconds : HBN_CMD_MIN_BOUND_MS;
}

long long HBN_time_scaledNowMs() {
  hbn::Platform& p = hbn::platform();
  return p.monotonicMs() * p.timeScale();
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

long maxDescriptors() {
  long maxFd = sysconf(_SC_OPEN_MAX);
  return maxFd < 0 || maxFd > 65536 ? 65536 : maxFd;
}

// Closes descriptors `first` to `last` (inclusive). Runs between fork and exec: system calls only.
void closeRange(long first, long last, long maxFd) {
  if (first > last) return;
#ifdef SYS_close_range
  if (syscall(SYS_close_range, static_cast<unsigned>(first),
              last >= maxFd ? ~0u : static_cast<unsigned>(last), 0u) == 0)
    return;
#endif
  for (long fd = first; fd <= last && fd < maxFd; ++fd) close(static_cast<int>(fd));
}

// Where a command runs: the child's stdin or stdout may be wired to one end of a pipe, and the
// child may lead or join a process group and die with its caller.
struct SpawnPlace {
  int childFd = -1;  // this end goes to the child's `targetFd`; -1: none
  int targetFd = -1;
  int closeFd = -1;   // the parent's end of that pipe, closed in the child
  pid_t group = -1;   // -1: the caller's process group; 0: one of its own; else this one
  pid_t caller = -1;  // the child dies with this process (its parent); -1: it need not
};

// Forks and execs `file` with `argv`. Returns the child's pid or -1.
// The child keeps only standard input, output and error: sockets and pipes of the agent (its
// broker connections among them) must not live on in a command that outlasts them.
pid_t spawn(const std::string& file, char* const argv[], const SpawnPlace& place) {
  std::vector<std::string> envStrings = commandEnvironment();
  std::vector<char*> envp = pointers(envStrings);
  const long maxFd = maxDescriptors();
  pid_t pid = fork();
  if (pid == 0) {
    if (place.group >= 0) setpgid(0, place.group);
    if (place.caller > 0) {
      // The guard ends the group with the caller; should the caller end before this child has
      // joined the group, the parent-death signal (or, had it ended already, this check) does.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != place.caller) _exit(127);
    }
    if (place.childFd >= 0) {
      dup2(place.childFd, place.targetFd);
      if (place.childFd != place.targetFd) close(place.childFd);
    }
    if (place.closeFd >= 0) close(place.closeFd);
    closeRange(3, maxFd, maxFd);
    execve(file.c_str(), argv, envp.data());
    _exit(127);
  }
  // Set here too, so the group is right whichever side runs first.
  if (pid > 0 && place.group >= 0) setpgid(pid, place.group > 0 ? place.group : pid);
  return pid;
}

// Ties a command to the life of this process. The guard is a small child that leads the
// command's process group and waits on a socket whose other end only this process holds. When
// this process ends, however it ends, the socket closes and the guard kills its whole group: the
// command and everything it started (configtool under its shell, a script's children). When the
// command has been waited for, the runner sends one byte instead and the guard leaves alone.
// (A parent-death signal alone follows the thread that forked, and reaches one process only.)
class Guard {
 public:
  // Starts the guard; false when it could not be started.
  bool start() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    const long maxFd = maxDescriptors();
    pid_t pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      // Only its own end stays open: other guards' ends would keep their sockets from closing.
      const int keep = ends[0];
      closeRange(0, keep - 1, maxFd);
      closeRange(keep + 1, maxFd, maxFd);
      char byte = 0;
      ssize_t got;
      do {
        got = read(keep, &byte, 1);
      } while (got < 0 && errno == EINTR);
      if (got != 1) kill(0, SIGKILL);
      _exit(0);
    }
    close(ends[0]);
    if (pid < 0) {
      close(ends[1]);
      return false;
    }
    setpgid(pid, pid);
    pid_ = pid;
    end_ = ends[1];
    return true;
  }
  pid_t group() const { return pid_; }
  // The command is over (ended, or killed with the group): the guard leaves, and is reaped.
  void release() {
    if (pid_ < 0) return;
    const char byte = 1;
    ssize_t sent = send(end_, &byte, 1, MSG_NOSIGNAL);  // fails when the guard went with its group
    (void)sent;
    close(end_);
    waitChild(pid_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int end_ = -1;
};

// Waits for `pid` at most `timeoutMs`; past it the process group `group` is killed and -2
// returned.
int waitChildTimeout(pid_t pid, pid_t group, long timeoutMs) {
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
      kill(-group, SIGKILL);
      kill(pid, SIGKILL);
      waitChild(pid);
      return -2;
    }
    struct timespec pause = {0, pauseMs * 1000000L};
    nanosleep(&pause, nullptr);
    if (pauseMs < 20) pauseMs *= 2;
  }
}

// Runs `file` and waits for it: at most `timeoutMs` when that is positive. Guarded (see Guard)
// unless `outlive`; either way the command leads or joins a process group of its own, which a
// time-out ends whole.
int run(const std::string& file, char* const argv[], long timeoutMs, bool outlive) {
  Guard guard;
  SpawnPlace place;
  place.group = 0;
  if (!outlive) {
    if (!guard.start()) return -1;
    place.group = guard.group();
    place.caller = getpid();
  }
  pid_t pid = spawn(file, argv, place);
  int status = -1;
  if (pid > 0)
    status = timeoutMs > 0 ? waitChildTimeout(pid, outlive ? pid : guard.group(), timeoutMs) : waitChild(pid);
  guard.release();
  return status;
}

// `commandLine` through /bin/sh -c, as run() does.
int runShell(const char* commandLine, long timeoutMs, bool outlive) {
  if (commandLine == nullptr) return -1;
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(commandLine), nullptr};
  return run("/bin/sh", argv, timeoutMs, outlive);
}

// argv[0] found on PATH, as run() does.
int runFound(const char* const argv[], long timeoutMs) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  std::string file = findOnPath(argv[0], commandEnvironment());
  if (file.empty()) return -1;
  return run(file, const_cast<char* const*>(argv), timeoutMs, false);
}

std::mutex gPopenLock;
std::map<FILE*, pid_t> gPopenChildren;

}  // namespace

namespace hbn {
namespace runner {

int run(const char* commandLine, const char* const argv[], long timeoutMs, bool outlive) {
  return commandLine != nullptr ? runShell(commandLine, timeoutMs, outlive) : runFound(argv, timeoutMs);
}

}  // namespace runner
}  // namespace hbn

// The runners go through the platform seam: a test's or harness's platform answers them there.
int HBN_cmd_system(const char* commandLine) {
  if (commandLine == nullptr) return -1;
  return hbn::platform().command(commandLine, nullptr, 0, hbn::CommandLife::kEndsWithCaller);
}

int HBN_cmd_exec(const char* const argv[]) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  return hbn::platform().command(nullptr, argv, 0, hbn::CommandLife::kEndsWithCaller);
}

int HBN_cmd_systemTimeout(const char* commandLine, long timeoutMs) {
  if (commandLine == nullptr) return -1;
  return hbn::platform().command(commandLine, nullptr, timeoutMs > 0 ? timeoutMs : 1,
                                 hbn::CommandLife::kEndsWithCaller);
}

int HBN_cmd_execTimeout(const char* const argv[], long timeoutMs) {
  if (argv == nullptr || argv[0] == nullptr) return -1;
  return hbn::platform().command(nullptr, argv, timeoutMs > 0 ? timeoutMs : 1,
                                 hbn::CommandLife::kEndsWithCaller);
}

int HBN_cmd_systemOutliving(const char* commandLine, long timeoutMs) {
  if (commandLine == nullptr) return -1;
  return hbn::platform().command(commandLine, nullptr, timeoutMs, hbn::CommandLife::kOutlivesCaller);
}

FILE* HBN_cmd_popen(const char* commandLine, const char* mode) {
  if (commandLine == nullptr || mode == nullptr || (mode[0] != 'r' && mode[0] != 'w')) return nullptr;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  bool reading = mode[0] == 'r';
  int parentEnd = reading ? fds[0] : fds[1];
  int childEnd = reading ? fds[1] : fds[0];
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(commandLine), nullptr};
  SpawnPlace place;
  place.childFd = childEnd;
  place.targetFd = reading ? STDOUT_FILENO : STDIN_FILENO;
  place.closeFd = parentEnd;
  pid_t pid = spawn("/bin/sh", argv, place);
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
