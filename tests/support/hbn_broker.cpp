#include "hbn_broker.h"

#include <sys/prctl.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hbn_test.h"

namespace hbntest {

namespace {

bool sh(const std::string& command) { return system(command.c_str()) == 0; }

pid_t spawn(const std::vector<std::string>& argv, const std::string& outFile, bool append = false) {
  pid_t pid = fork();
  if (pid == 0) {
    // A test that dies must not leave its broker or subscriber behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void terminate(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  pid = -1;
}

bool portOpen(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

std::string mosquittoBinary() {
  for (const char* p : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
    if (access(p, X_OK) == 0) return p;
  return "mosquitto";
}

}  // namespace

bool makeCertificates(const std::string& d) {
  const std::string q = "cd '" + d + "' && ";
  const std::string quiet = " >/dev/null 2>&1";
  return sh(q +
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=hbn-test-ca -keyout ca.key -out "
            "ca.crt" +
            quiet) &&
         sh(q + "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr" +
            quiet) &&
         sh(q +
            "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > san.ext && openssl x509 -req -in "
            "server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext -out server.crt" +
            quiet) &&
         sh(q +
            "openssl req -newkey rsa:2048 -nodes -subj /CN=hbn-client -keyout client.key -out client.csr" +
            quiet) &&
         sh(q +
            "openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out "
            "client.crt" +
            quiet) &&
         sh(q +
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=rogue-ca -keyout rogue-ca.key -out "
            "rogue-ca.crt" +
            quiet) &&
         sh(q + "openssl req -newkey rsa:2048 -nodes -subj /CN=rogue -keyout rogue.key -out rogue.csr" +
            quiet) &&
         sh(q +
            "openssl x509 -req -in rogue.csr -CA rogue-ca.crt -CAkey rogue-ca.key -CAcreateserial -days 2 "
            "-out rogue.crt" +
            quiet);
}

Broker::Broker(const std::string& dir, bool tls) : dir_(dir), tls_(tls), port_(freePort()) {}

Broker::~Broker() { stop(); }

bool Broker::start() {
  if (pid_ > 0) return true;
  sh("mkdir -p '" + dir_ + "'");
  if (tls_ && access((dir_ + "/server.crt").c_str(), R_OK) != 0 && !makeCertificates(dir_)) return false;
  std::ofstream conf(dir_ + "/mosquitto.conf");
  // TLS settings belong to the listener above them, so every listener gets its own copy.
  auto listener = [&](const std::string& address) {
    conf << "listener " << port_ << " " << address << "\n";
    if (tls_) {
      conf << "cafile " << dir_ << "/ca.crt\ncertfile " << dir_ << "/server.crt\nkeyfile " << dir_
           << "/server.key\nrequire_certificate true\n";
    }
    conf << listenerLines_;
  };
  listener("127.0.0.1");
  for (const auto& address : extraAddresses_) listener(address);
  conf << "allow_anonymous true\npersistence false\n"
       // Run as root the broker would switch to its own user and lose the sandbox's files.
       << "user root\n"
       // Like a broker tuned for latency: no Nagle delay behind its own acknowledgements.
       << "set_tcp_nodelay true\n"
       << globalLines_;
  conf.close();
  // Appends, so the log keeps what earlier runs of this broker received.
  pid_ = spawn({mosquittoBinary(), "-c", dir_ + "/mosquitto.conf", "-v"}, dir_ + "/mosquitto.log", true);
  for (int i = 0; i < 200; ++i) {
    if (portOpen(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

void Broker::stop() { terminate(pid_); }

std::vector<std::string> Broker::receivedTopics() const {
  // The verbose log has one "Received PUBLISH from <client> (..., '<topic>', ...)" line per message.
  std::ifstream in(dir_ + "/mosquitto.log");
  std::vector<std::string> topics;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("Received PUBLISH from") == std::string::npos) continue;
    size_t open = line.find('\'');
    size_t close = open == std::string::npos ? open : line.find('\'', open + 1);
    if (close != std::string::npos) topics.push_back(line.substr(open + 1, close - open - 1));
  }
  return topics;
}

namespace {

// From verbose log lines "... <marker><address>:<port> <rest>" whose rest starts with `restPrefix`:
// the addresses, in order.
std::vector<std::string> sourcesIn(const std::string& logFile, const std::string& marker,
                                   const std::string& restPrefix) {
  std::ifstream in(logFile);
  std::vector<std::string> sources;
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    size_t from = at + marker.size();
    size_t space = line.find(' ', from);
    if (space == std::string::npos || line.compare(space + 1, restPrefix.size(), restPrefix) != 0) continue;
    size_t colon = line.rfind(':', space);
    if (colon == std::string::npos || colon < from) continue;
    sources.push_back(line.substr(from, colon - from));
  }
  return sources;
}

}  // namespace

std::vector<std::string> Broker::connectionAddresses() const {
  return sourcesIn(dir_ + "/mosquitto.log", "New connection from ", "on port");
}

std::vector<std::string> Broker::clientAddresses(const std::string& clientId) const {
  return sourcesIn(dir_ + "/mosquitto.log", "New client connected from ", "as " + clientId + " ");
}

std::vector<std::string> Broker::clientOptions() const {
  std::vector<std::string> o = {"-h", "127.0.0.1", "-p", std::to_string(port_)};
  if (tls_) {
    for (const auto& x : {"--cafile", "ca.crt", "--cert", "client.crt", "--key", "client.key"}) {
      std::string s = x;
      o.push_back(s[0] == '-' ? s : dir_ + "/" + s);
    }
  }
  return o;
}

bool Broker::publish(const std::string& topic, const std::string& payload) const {
  std::vector<std::string> argv = {"/usr/bin/mosquitto_pub"};
  for (const auto& o : clientOptions()) argv.push_back(o);
  for (const auto& x : {std::string("-q"), std::string("1"), std::string("-t"), topic}) argv.push_back(x);
  if (payload.empty()) {
    argv.push_back("-n");
  } else {
    argv.push_back("-m");
    argv.push_back(payload);
  }
  return run(argv, {}, "", 10000).status == 0;
}

Subscriber::Subscriber(const Broker& broker, const std::string& filter) {
  static int counter = 0;
  file_ = broker.dir() + "/sub-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".log";
  std::vector<std::string> argv = {"/usr/bin/mosquitto_sub"};
  for (const auto& o : broker.clientOptions()) argv.push_back(o);
  for (const auto& x : {std::string("-q"), std::string("1"), std::string("-v"), std::string("-t"), filter})
    argv.push_back(x);
  pid_ = spawn(argv, file_);
  // Give the subscription a moment to reach the broker before the test publishes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

Subscriber::~Subscriber() { terminate(pid_); }

std::vector<std::string> Subscriber::lines() const {
  std::ifstream in(file_);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

bool Subscriber::waitFor(const std::string& topic, const std::string& payload, int timeoutMs) const {
  const std::string want = topic + " " + payload;
  for (int waited = 0; waited <= timeoutMs; waited += 25) {
    for (const auto& l : lines())
      if (l == want || (payload.empty() && (l == topic || l == topic + " (null)"))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

std::string Subscriber::waitForTopic(const std::string& topic, int timeoutMs) const {
  for (int waited = 0; waited <= timeoutMs; waited += 25) {
    for (const auto& l : lines()) {
      if (l == topic || l == topic + " (null)") return "";
      if (l.compare(0, topic.size() + 1, topic + " ") == 0) return l.substr(topic.size() + 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return "";
}

}  // namespace hbntest
