// The MQTT contract checked on live traffic: a recorder subscribes to everything on the test's
// broker for the whole test (MQTT 5, so it sees each publisher's QoS and retain flag), and at
// the end one run of tests/support/contract_check.py checks every recorded message, the
// agent's and the test's requests alike, against the agent's AsyncAPI document in docs/mqtt/.
// Requests a test sends outside the contract on purpose are marked with malformed() and must be
// refused by the contract instead.
#pragma once
#include <MQTTAsync.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "hbn_broker.h"

namespace hbntest {

class ContractRecorder {
 public:
  // `document`: "zwave-agent", "router-agent" or "ota-agent" (docs/mqtt/<document>.yaml).
  // Connects to the running `broker` (plain or TLS as it runs) and subscribes to "#"; after a
  // broker restart it connects and subscribes again by itself.
  ContractRecorder(const Broker& broker, const std::string& document);
  ~ContractRecorder();
  ContractRecorder(const ContractRecorder&) = delete;
  ContractRecorder& operator=(const ContractRecorder&) = delete;

  // True once the first subscription is in place.
  bool ok() const { return subscribed_.load(); }
  // A request that leaves the contract on purpose (exact topic and payload).
  void malformed(const std::string& topic, const std::string& payload);
  // Stops recording and checks everything recorded: "" when all of it kept the contract (or
  // nothing was recorded), else the checker's report. Call once, at the end of the test.
  std::string check();

 private:
  struct Record {
    std::string topic;
    std::string payload;
    int qos;
    bool retained;
  };
  static int arrived(void* context, char* topic, int topicLength, MQTTAsync_message* message);
  static void reconnected(void* context, char* cause);
  void stop();

  std::string document_;
  std::string file_;
  std::string ca_, cert_, key_;
  MQTTAsync client_ = nullptr;
  std::atomic<bool> subscribed_{false};
  std::mutex lock_;
  std::vector<Record> records_;
  std::vector<std::pair<std::string, std::string>> malformed_;
};

}  // namespace hbntest
