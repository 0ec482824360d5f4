// change-password: applies the login user name and password of the configuration store to
// the system's account files. The runtime password and shadow files are rebuilt from their
// read-only templates with the configured name in place of the template account, then the
// password is set by answering the prompts of the system's passwd command.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "apmib.h"
#include "hbn_path.h"

namespace {

constexpr int kLoginUserId = 1428;
constexpr int kLoginPasswordId = 1429;
// Larger than any text the store hands out; the store writes no more than the id's size.
constexpr size_t kValueBufferSize = 256;
constexpr size_t kLineSize = 256;  // lines of up to 255 bytes per read
constexpr char kTemplateAccount[] = "kv_tx440:";
constexpr size_t kTemplateNameLength = 8;  // the name before the colon
constexpr char kNewPrompt[] = "New password:";
constexpr char kRetypePrompt[] = "Retype password:";
constexpr long kAnswerPauseMs = 200;

// A name that cannot break the account file format: no field separator, no line breaks or
// other control characters (those would let a stored value add accounts of its own).
bool validUserName(const char* name) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    if (*p == ':' || *p < 0x20 || *p == 0x7F) return false;
  }
  return true;
}

// Rewrites `templatePath` into `copyPath`: the template account's line gets `user` in place
// of its name, every other line is copied as it is. The copy is written beside its final
// name and renamed over it, so a failure never leaves a half-written account file; it takes
// the template's permission bits. Errors are printed with the label "change user".
bool rewriteAccounts(const char* templatePath, const char* copyPath, const char* user) {
  const std::string from = HBN_path(templatePath);
  const std::string to = HBN_path(copyPath);
  const std::string temporary = to + ".new";
  FILE* in = fopen(from.c_str(), "r");
  if (in == nullptr) {
    perror("change user");
    return false;
  }
  struct stat st = {};
  mode_t mode = (fstat(fileno(in), &st) == 0) ? (st.st_mode & 0777) : 0644;
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    perror("change user");
    if (fd >= 0) close(fd);
    fclose(in);
    return false;
  }
  fchmod(fd, mode);  // whatever the umask

  char line[kLineSize];
  bool atLineStart = true;  // a line longer than the buffer arrives in several pieces
  while (fgets(line, sizeof line, in) != nullptr) {
    if (atLineStart && strncmp(line, kTemplateAccount, sizeof kTemplateAccount - 1) == 0) {
      fputs(user, out);
      fputs(line + kTemplateNameLength, out);
    } else {
      fputs(line, out);
    }
    size_t length = strlen(line);
    atLineStart = length > 0 && line[length - 1] == '\n';
  }
  bool ok = !ferror(in) && !ferror(out);
  ok = (fflush(out) == 0) && ok;
  ok = ok && fsync(fd) == 0;
  int savedErrno = errno;
  ok = (fclose(out) == 0) && ok;
  fclose(in);
  if (ok && rename(temporary.c_str(), to.c_str()) == 0) return true;
  if (ok) savedErrno = errno;
  unlink(temporary.c_str());
  errno = savedErrno != 0 ? savedErrno : EIO;
  perror("change user");
  return false;
}

struct Child {
  pid_t pid = -1;
  int input = -1;   // the child's standard input
  int output = -1;  // the child's standard output
};

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Starts `passwd <user>` with its standard input and output on two pipes. A child that
// cannot run the program exits at once; the parent learns of it through a third pipe that
// closes on a successful exec. Failures are printed with the label "popen2".
bool startPasswd(const char* user, Child* child) {
  const std::string program = HBN_path("/bin/passwd");
  int toChild[2] = {-1, -1}, fromChild[2] = {-1, -1}, execStatus[2] = {-1, -1};
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0 ||
      pipe2(execStatus, O_CLOEXEC) != 0) {
    perror("popen2");
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1], execStatus[0], execStatus[1]})
      if (fd >= 0) close(fd);
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    char* const argv[] = {const_cast<char*>("passwd"), const_cast<char*>(user), nullptr};
    execv(program.c_str(), argv);
    int error = errno;
    ssize_t ignored = write(execStatus[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  int forkError = errno;
  close(toChild[0]);
  close(fromChild[1]);
  close(execStatus[1]);
  if (pid < 0) {
    errno = forkError;
    perror("popen2");
    close(toChild[1]);
    close(fromChild[0]);
    close(execStatus[0]);
    return false;
  }
  int error = 0;
  ssize_t got;
  do {
    got = read(execStatus[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(execStatus[0]);
  if (got > 0) {
    errno = error;
    perror("popen2");
    close(toChild[1]);
    close(fromChild[0]);
    waitpid(pid, nullptr, 0);  // it has already exited
    return false;
  }
  child->pid = pid;
  child->input = toChild[1];
  child->output = fromChild[0];
  return true;
}

bool writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Answers "New password:" and then every "Retype password:" with the password. Ends at the
// end of the output or at a piece of output without the expected prompt.
bool answerPrompts(const Child& child, const char* password) {
  bool first = true;
  for (;;) {
    char piece[kLineSize];
    ssize_t n = read(child.output, piece, sizeof piece - 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("read");
      return false;
    }
    if (n == 0) return true;
    const char* expected = first ? kNewPrompt : kRetypePrompt;
    first = false;
    if (memmem(piece, static_cast<size_t>(n), expected, strlen(expected)) == nullptr) return true;
    if (!writeAll(child.input, password, strlen(password))) {
      perror("write");
      return false;
    }
    usleep(static_cast<useconds_t>(HBN_time_scaled(kAnswerPauseMs) * 1000));
  }
}

}  // namespace

int main() {
  char user[kValueBufferSize] = {};
  char password[kValueBufferSize] = {};
  apmib_init();
  apmib_get(kLoginUserId, user);
  apmib_get(kLoginPasswordId, password);
  user[sizeof user - 1] = '\0';
  password[sizeof password - 1] = '\0';
  if (user[0] == '\0' || password[0] == '\0') return 0;
  if (!validUserName(user)) {
    puts("ERR:invalid login user name");
    return 1;
  }

  if (!rewriteAccounts("/etc/passwd_orig", "/var/passwd", user)) return 1;
  if (!rewriteAccounts("/etc/shadow.sample", "/var/shadow", user)) return 1;

  Child child;
  if (!startPasswd(user, &child)) return 1;
  signal(SIGPIPE, SIG_IGN);  // a passwd that goes away is a write error, not our end
  bool ok = answerPrompts(child, password);
  waitpid(child.pid, nullptr, WNOHANG);
  closeFd(child.input);
  closeFd(child.output);
  return ok ? 0 : 1;
}
