#include "hbn_test.h"

#include <sys/prctl.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace hbntest {

namespace {
void mkdirP(const std::string& dir) {
  std::string partial;
  std::stringstream ss(dir);
  std::string item;
  if (!dir.empty() && dir[0] == '/') partial = "/";
  while (std::getline(ss, item, '/')) {
    if (item.empty()) continue;
    partial += item + "/";
    mkdir(partial.c_str(), 0755);
  }
}
std::string parentOf(const std::string& p) {
  auto pos = p.rfind('/');
  return pos == std::string::npos ? std::string(".") : p.substr(0, pos);
}
}  // namespace

Sandbox::Sandbox() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/hbn-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = buf.data();
  const char* old = getenv("HBN_ROOT");
  hadRoot_ = old != nullptr;
  if (old) oldRoot_ = old;
  setenv("HBN_ROOT", root_.c_str(), 1);
  for (const char* d : {"/var", "/tmp", "/etc", "/jffs2", "/bin", "/sbin", "/dev", "/proc", "/record"})
    mkdirs(d);
}

Sandbox::~Sandbox() {
  if (getenv("HBN_KEEP_SANDBOX") == nullptr) {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  if (hadRoot_)
    setenv("HBN_ROOT", oldRoot_.c_str(), 1);
  else
    unsetenv("HBN_ROOT");
}

void Sandbox::mkdirs(const std::string& absolute) const { mkdirP(path(absolute)); }

void Sandbox::write(const std::string& absolute, const std::string& content, int mode) const {
  std::string p = path(absolute);
  mkdirP(parentOf(p));
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  chmod(p.c_str(), mode);
}

std::string Sandbox::read(const std::string& absolute) const {
  std::ifstream in(path(absolute), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Sandbox::exists(const std::string& absolute) const {
  struct stat st;
  return stat(path(absolute).c_str(), &st) == 0;
}

void Sandbox::fakeCommand(const std::string& name, const std::string& body) const {
  std::string script =
      "#!/bin/sh\n"
      "echo \"$*\" >> '" +
      path("/record/" + name) + "'\n" + body + "\n";
  write("/bin/" + name, script, 0755);
}

std::string Sandbox::recorded(const std::string& name) const { return read("/record/" + name); }

std::string binPath(const std::string& name) {
  const char* dir = getenv("HBN_BUILD_BIN");
  return std::string(dir ? dir : ".") + "/" + name;
}

std::vector<std::string> programArgv(const std::vector<std::string>& argv) {
  std::vector<std::string> words;
  const char* emulator = getenv("HBN_TEST_EMULATOR");
  if (emulator != nullptr) {
    std::istringstream in(emulator);
    for (std::string word; in >> word;) words.push_back(word);
  }
  words.insert(words.end(), argv.begin(), argv.end());
  return words;
}

std::vector<char*> execArgs(std::vector<std::string>& words) {
  std::vector<char*> args;
  for (auto& w : words) args.push_back(const_cast<char*>(w.c_str()));
  args.push_back(nullptr);
  return args;
}

namespace {
// Single-quoted for /bin/sh.
std::string shellQuoted(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
}  // namespace

std::string programCommandLine(const std::string& name) {
  std::string line;
  for (const auto& word : programArgv({binPath(name)})) line += (line.empty() ? "" : " ") + shellQuoted(word);
  return line;
}

void writeProgramWrapper(const std::string& path, const std::string& name) {
  std::string script = "#!/bin/sh\nexec " + programCommandLine(name) + " \"$@\"\n";
  mkdirP(parentOf(path));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << script;
  out.close();
  chmod(path.c_str(), 0755);
}

void Sandbox::installProgram(const std::string& name) const {
  writeProgramWrapper(path("/bin/" + name), name);
}

std::string uniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

int freePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(s);
  return port;
}

namespace {
long long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
}  // namespace

Result run(const std::vector<std::string>& argvIn, const std::vector<std::string>& env,
           const std::string& input, int timeoutMs) {
  Result r;
  std::vector<std::string> argv = argvIn;
  if (argv.empty()) return r;
  if (argv[0].find('/') == std::string::npos) argv[0] = binPath(argv[0]);
  // Programs of the build go through the emulator of a cross build; others (/bin/sh) do not.
  const std::string ownDir = binPath("");
  std::vector<std::string> words = argv[0].compare(0, ownDir.size(), ownDir) == 0 ? programArgv(argv) : argv;
  std::vector<char*> args = execArgs(words);
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) return r;
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (const auto& kv : env) putenv(strdup(kv.c_str()));
    execv(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty() && write(inPipe[1], input.data(), input.size()) < 0) {
  }
  close(inPipe[1]);
  long long deadline = nowMs() + timeoutMs;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    long long left = deadline - nowMs();
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    r.status = 128 + WTERMSIG(status);
  if (killed) r.err += "\n[killed after timeout]\n";
  return r;
}

}  // namespace hbntest
