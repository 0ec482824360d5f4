// hbn-restart: keeps one program of the box running under BusyBox init, which has no back-off
// of its own.
//
//   hbn-restart [--wait PATH]... NAME PROGRAM [ARGS...]
//
// Starts PROGRAM (after every PATH exists), and when it ends logs its name and exit status to
// the system log and the console, waits as restart_policy.h says and starts it again. The
// program's standard output stays the console; its standard error goes to /var/log/NAME.log,
// which is kept under a size cap (one older file, NAME.log.0), so a chatty program never fills
// the box's memory. SIGTERM, SIGINT or SIGHUP ends the program (SIGTERM) and then the wrapper.
// Six of these run all the time: they use the C library only, no C++ runtime (its relocated
// data would cost each wrapper more memory than the rest of it).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "restart_policy.h"

namespace {

constexpr off_t kLogCap = 128 * 1024;

volatile sig_atomic_t g_stop = 0;
volatile pid_t g_child = -1;

void onStop(int) {
  g_stop = 1;
  pid_t child = g_child;
  if (child > 0) kill(child, SIGTERM);
}

uint64_t nowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

// Sleeps `ms`, cut short by a stop request.
void pause(uint64_t ms) {
  uint64_t end = nowMs() + ms;
  while (!g_stop) {
    uint64_t now = nowMs();
    if (now >= end) return;
    uint64_t left = end - now;
    timespec t{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
    nanosleep(&t, nullptr);
  }
}

// The program's standard error, kept below the cap by moving a full file to NAME.log.0.
class ErrorLog {
 public:
  explicit ErrorLog(const char* name) {
    snprintf(path_, sizeof path_, "/var/log/%s.log", name);
    snprintf(old_, sizeof old_, "%s.0", path_);
  }
  ~ErrorLog() {
    if (fd_ >= 0) close(fd_);
  }
  void write(const char* data, size_t size) {
    if (fd_ < 0) open();
    if (fd_ < 0) return;
    struct stat st {};
    if (fstat(fd_, &st) == 0 && st.st_size + static_cast<off_t>(size) > kLogCap) {
      close(fd_);
      rename(path_, old_);
      open();
      if (fd_ < 0) return;
    }
    while (size > 0) {
      ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

 private:
  void open() { fd_ = ::open(path_, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); }
  char path_[256];
  char old_[260];
  int fd_ = -1;
};

// Waits until every path exists (a program's pipes or sockets); false on a stop request.
bool waitForPaths(const char* name, char* const* paths, int count) {
  uint64_t since = nowMs();
  bool told = false;
  for (int i = 0; i < count; ++i) {
    while (access(paths[i], F_OK) != 0) {
      if (g_stop) return false;
      if (!told && nowMs() - since > 10000) {
        std::fprintf(stderr, "hbn-restart: %s waits for %s\n", name, paths[i]);
        told = true;
      }
      pause(100);
    }
  }
  return !g_stop;
}

// Starts the program with its standard error on a pipe; the child's pid, -1 on failure.
pid_t start(char** argv, int* errRead) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    // A wrapper that dies takes its program along: init starts a new wrapper, and two copies of
    // an agent must never run.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) signal(s, SIG_DFL);
    dup2(fds[1], STDERR_FILENO);
    execv(argv[0], argv);
    std::fprintf(stderr, "hbn-restart: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  close(fds[1]);
  *errRead = fds[0];
  return pid;
}

// Copies the program's standard error to its log until it ended; its wait status.
int supervise(pid_t pid, int errRead, ErrorLog& log) {
  char buffer[4096];
  int status = 0;
  bool ended = false;
  while (!ended) {
    pollfd p{errRead, POLLIN, 0};
    int ready = errRead >= 0 ? poll(&p, 1, 500) : (pause(500), 0);
    if (ready > 0) {
      ssize_t n = read(errRead, buffer, sizeof buffer);
      if (n > 0) {
        log.write(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(errRead);  // every writer is gone; only the end is left to wait for
        errRead = -1;
      }
    }
    pid_t r = waitpid(pid, &status, WNOHANG);
    ended = r == pid || (r < 0 && errno == ECHILD);
  }
  if (errRead >= 0) {
    // What the program wrote last; a descendant that still holds the pipe is not waited for.
    fcntl(errRead, F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(errRead, buffer, sizeof buffer)) > 0) log.write(buffer, static_cast<size_t>(n));
    close(errRead);
  }
  return status;
}

// How a program ended, into `out`.
const char* describe(int status, char* out, size_t size) {
  if (WIFEXITED(status)) {
    snprintf(out, size, "exit status %d", WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    snprintf(out, size, "signal %d", WTERMSIG(status));
  } else {
    snprintf(out, size, "status %d", status);
  }
  return out;
}

int usage() {
  std::fputs("usage: hbn-restart [--wait PATH]... NAME PROGRAM [ARGS...]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The paths to wait for, gathered at the front of argv (it is ours to reorder).
  int waits = 0;
  int i = 1;
  while (i + 1 < argc && std::strcmp(argv[i], "--wait") == 0) {
    argv[waits++] = argv[i + 1];
    i += 2;
  }
  if (argc - i < 2 || argv[i][0] == '-') return usage();
  const char* name = argv[i];
  char** program = argv + i + 1;

  struct sigaction stop {};
  stop.sa_handler = onStop;
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  openlog("hbn-restart", LOG_PID, LOG_DAEMON);

  RestartPolicy policy;
  ErrorLog log(name);
  uint32_t delay = 0;
  unsigned restarts = 0;
  while (waitForPaths(name, argv, waits)) {
    int errRead = -1;
    uint64_t started = nowMs();
    pid_t pid = start(program, &errRead);
    if (pid < 0) {
      std::fprintf(stderr, "hbn-restart: cannot start %s: %s\n", name, std::strerror(errno));
      delay = restartDelayMs(policy, delay, 0);
      pause(delay);
      continue;
    }
    g_child = pid;
    if (g_stop) kill(pid, SIGTERM);
    int status = supervise(pid, errRead, log);
    g_child = -1;
    if (g_stop) break;
    delay = restartDelayMs(policy, delay, nowMs() - started);
    ++restarts;
    // One line in the system log and one on the console: a person and the harness see both.
    char how[32];
    describe(status, how, sizeof how);
    syslog(LOG_WARNING, "%s ended with %s, restart %u in %u ms", name, how, restarts, delay);
    std::fprintf(stderr, "hbn-restart: %s ended with %s, restart %u in %u ms\n", name, how, restarts, delay);
    pause(delay);
  }
  return 0;
}
