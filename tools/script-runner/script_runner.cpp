// script-runner: waits on the script queue for "kind,number" requests and runs the
// matching button or cloud script as a child process, one copy of each script at a time.
// Every start and every end goes to the system log (facility daemon) and, as a copy,
// to standard error.
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "hbn_path.h"
#include "script_message.h"

using scriptrunner::parseRequest;
using scriptrunner::printable;
using scriptrunner::scriptFor;

namespace {

constexpr long kMaxMessages = 10;
constexpr long kMessageSize = 1024;
constexpr size_t kCommLineMax = 511;

// Set from the signal handler, read by the main loop.
volatile sig_atomic_t gRun = 1;
volatile sig_atomic_t gChildEnded = 0;

void onSignal(int signo) {
  if (signo == SIGINT) gRun = 0;
  if (signo == SIGCHLD) gChildEnded = 1;
}

const char* priorityName(int priority) {
  switch (priority) {
    case LOG_ERR:
      return "err";
    case LOG_NOTICE:
      return "notice";
    default:
      return "info";
  }
}

__attribute__((format(printf, 2, 3))) void logLine(int priority, const char* format, ...) {
  char text[640];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  syslog(LOG_DAEMON | priority, "%s", text);
  fprintf(stderr, "script-runner[%d]: %s: %s\n", static_cast<int>(getpid()), priorityName(priority), text);
}

// True when /proc/<id>/stat shows the process as ended and not yet reaped (state Z).
bool isZombie(const char* id) {
  char statPath[64];
  snprintf(statPath, sizeof statPath, "/proc/%.20s/stat", id);
  FILE* stat = fopen(statPath, "r");
  if (stat == nullptr) return false;
  char text[512];
  size_t got = fread(text, 1, sizeof text - 1, stat);
  fclose(stat);
  text[got] = '\0';
  // "pid (comm) S ...": the state follows the last ')', since comm may hold anything.
  const char* close = strrchr(text, ')');
  return close != nullptr && close[1] == ' ' && close[2] == 'Z';
}

// Pid of a running process whose command name is `name`, 0 when there is none.
// The process table is the machine's own, never the sandbox's.
pid_t findRunning(const char* name) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    const char* id = entry->d_name;
    bool digits = id[0] != '\0';
    for (const char* p = id; *p != '\0'; ++p)
      if (!isdigit(static_cast<unsigned char>(*p))) digits = false;
    if (!digits) continue;
    char commPath[64];
    snprintf(commPath, sizeof commPath, "/proc/%.20s/comm", id);
    FILE* comm = fopen(commPath, "r");
    if (comm == nullptr) continue;
    char line[kCommLineMax + 1];
    bool got = fgets(line, sizeof line, comm) != nullptr;
    fclose(comm);
    if (!got) continue;
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    if (length == 0 || strcmp(line, name) != 0) continue;
    // A copy that has ended but is not reaped yet (a zombie) is not running.
    if (isZombie(id)) continue;
    found = static_cast<pid_t>(atol(id));
    break;
  }
  closedir(proc);
  return found;
}

void startScript(const char* name, const std::string& path, const sigset_t& childMask) {
  if (access(path.c_str(), X_OK) != 0) {
    logLine(LOG_NOTICE, "SCRIPT is not executable:%s", name);
    return;
  }
  pid_t running = findRunning(name);
  if (running != 0) {
    logLine(LOG_NOTICE, "SCRIPT is running:%s,%d", name, static_cast<int>(running));
    return;
  }
  pid_t pid = fork();
  if (pid < 0) {
    logLine(LOG_ERR, "SCRIPT execute fail(fork):%s", path.c_str());
    return;
  }
  if (pid == 0) {
    // The script gets the signal mask the daemon started with, not the loop's.
    sigprocmask(SIG_SETMASK, &childMask, nullptr);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    logLine(LOG_ERR, "SCRIPT execute fail(exec):%s", path.c_str());
    _exit(255);
  }
  logLine(LOG_NOTICE, "SCRIPT execute:%s,pid=%d", path.c_str(), static_cast<int>(pid));
}

void handleMessage(char* text, const sigset_t& childMask) {
  int kind = 0;
  int number = 0;
  char name[32];
  std::string path;
  if (!parseRequest(text, &kind, &number) || !scriptFor(kind, number, name, sizeof name, &path)) {
    logLine(LOG_NOTICE, "SCRIPT bad request:%s", printable(text).c_str());
    return;
  }
  startScript(name, path, childMask);
}

// Reaps and logs every child that has ended, so none is left a zombie (a zombie would
// still show its script's name in the process table and block the next start).
void reportFinished() {
  gChildEnded = 0;
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if ((status & 0x7F) == 0)
      logLine(LOG_NOTICE, "SCRIPT finish:pid=%d,code=%d", static_cast<int>(pid), (status >> 8) & 0xFF);
    else
      logLine(LOG_ERR, "SCRIPT finish:pid=%d,code=%d", static_cast<int>(pid), status);
  }
}

void pause10ms() {
  timespec pause{0, 10 * 1000 * 1000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main() {
  openlog("script-runner", LOG_PID, LOG_DAEMON);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (sigaction(SIGCHLD, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
    perror("sigaction");
    return 1;
  }
  // The two signals are taken only while the loop waits for the queue, so none can slip
  // in between a check of the flags and the wait.
  sigset_t waitMask;
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGCHLD);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  sigset_t childMask = waitMask;
  sigdelset(&waitMask, SIGCHLD);
  sigdelset(&waitMask, SIGINT);

  const char* queueName = HBN_path_scriptQueue();
  mq_attr attr;
  memset(&attr, 0, sizeof attr);
  attr.mq_flags = 0;
  attr.mq_maxmsg = kMaxMessages;
  attr.mq_msgsize = kMessageSize;
  mqd_t queue = mq_open(queueName, O_RDONLY | O_CREAT | O_NONBLOCK, 0777, &attr);
  if (queue == static_cast<mqd_t>(-1)) {
    perror("mq_open fail");
    return 1;
  }
  // A queue made earlier by someone else may carry larger messages than ours.
  mq_attr actual;
  long messageSize = kMessageSize;
  if (mq_getattr(queue, &actual) == 0 && actual.mq_msgsize > messageSize) messageSize = actual.mq_msgsize;
  std::vector<char> buffer(static_cast<size_t>(messageSize) + 1);

  while (gRun) {
    if (gChildEnded) reportFinished();
    pollfd waitFor{static_cast<int>(queue), POLLIN, 0};
    if (ppoll(&waitFor, 1, nullptr, &waitMask) < 0) {
      if (errno == EINTR) continue;
      perror("mq_receive fail");
      break;
    }
    ssize_t length = mq_receive(queue, buffer.data(), static_cast<size_t>(messageSize), nullptr);
    if (length < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      perror("mq_receive fail");
      break;
    }
    buffer[static_cast<size_t>(length)] = '\0';
    // Reap every ended child before the running check: while requests keep the queue ready
    // the wait returns at once and SIGCHLD is not taken, and a zombie still shows its
    // script's name in the process table.
    reportFinished();
    handleMessage(buffer.data(), childMask);
    pause10ms();
  }
  if (gChildEnded) reportFinished();

  if (mq_close(queue) != 0) perror("mq_close fail");
  if (mq_unlink(queueName) != 0) perror("mq_unlink fail");
  closelog();
  return 0;
}
