// A real Mosquitto broker for tests, on a free loopback port, plain or TLS with certificates
// the fixture generates, plus a recording subscriber and a publisher built on the Mosquitto
// command-line clients.
#pragma once
#include <string>
#include <vector>

#include <sys/types.h>

namespace hbntest {

// CA, server and client certificates made with the openssl command in `dir`:
// ca.crt, server.crt/.key (for 127.0.0.1), client.crt/.key signed by the CA, and
// rogue.crt/.key signed by a CA the broker does not trust.
bool makeCertificates(const std::string& dir);

class Broker {
 public:
  // `dir` holds the configuration, log and (for TLS) the certificates.
  Broker(const std::string& dir, bool tls);
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;
  // Also listens on `address` (same port), e.g. a veth end that a test's namespace reaches; call
  // before start(). Loopback is always served. TLS certificates name 127.0.0.1 only.
  void listenOn(const std::string& address) { extraAddresses_.push_back(address); }
  // Extra configuration lines, written into every listener's block and after all of them
  // (access control, identities); call before start().
  void configure(const std::string& listenerLines, const std::string& globalLines) {
    listenerLines_ = listenerLines;
    globalLines_ = globalLines;
  }
  bool start();  // waits until the port accepts connections
  void stop();
  int port() const { return port_; }
  bool tls() const { return tls_; }
  const std::string& dir() const { return dir_; }
  // Options for mosquitto_pub/mosquitto_sub reaching this broker (host, port, TLS files).
  std::vector<std::string> clientOptions() const;
  // Topics of every PUBLISH the broker received, in order, over all its runs.
  std::vector<std::string> receivedTopics() const;
  // Source addresses of every TCP connection the broker accepted, in order, over all its runs.
  std::vector<std::string> connectionAddresses() const;
  // Source addresses from which the client `clientId` connected, in order.
  std::vector<std::string> clientAddresses(const std::string& clientId) const;
  // Publishes one message at QoS 1; true when mosquitto_pub succeeded.
  bool publish(const std::string& topic, const std::string& payload) const;

 private:
  std::string dir_;
  bool tls_;
  int port_;
  std::vector<std::string> extraAddresses_;
  std::string listenerLines_, globalLines_;
  pid_t pid_ = -1;
};

// Runs mosquitto_sub on `filter` and records "topic payload" lines.
class Subscriber {
 public:
  Subscriber(const Broker& broker, const std::string& filter);
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;
  // Every line received so far.
  std::vector<std::string> lines() const;
  // Waits up to `timeoutMs` for a line equal to "topic payload"; true when seen.
  bool waitFor(const std::string& topic, const std::string& payload, int timeoutMs = 5000) const;
  // Waits for any line whose topic is `topic`; returns its payload or "" after the timeout.
  std::string waitForTopic(const std::string& topic, int timeoutMs = 5000) const;

 private:
  std::string file_;
  pid_t pid_ = -1;
};

}  // namespace hbntest
