#include "hbn_contract.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "hbn_test.h"

namespace hbntest {

namespace {

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace

ContractRecorder::ContractRecorder(const Broker& broker, const std::string& document) : document_(document) {
  static int counter = 0;
  file_ = broker.dir() + "/contract-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".jsonl";
  std::string uri = (broker.tls() ? "ssl://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(broker.port());
  std::string id = uniqueName("contract");
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer5;
  if (MQTTAsync_createWithOptions(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                  &create) != MQTTASYNC_SUCCESS) {
    client_ = nullptr;
    return;
  }
  MQTTAsync_setCallbacks(client_, this, nullptr, &ContractRecorder::arrived, nullptr);
  MQTTAsync_setConnected(client_, this, &ContractRecorder::reconnected);
  ca_ = broker.dir() + "/ca.crt";
  cert_ = broker.dir() + "/client.crt";
  key_ = broker.dir() + "/client.key";
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  ssl.trustStore = ca_.c_str();
  ssl.keyStore = cert_.c_str();
  ssl.privateKey = key_.c_str();
  MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer5;
  o.keepAliveInterval = 60;
  o.cleanstart = 1;
  // A broker that a test restarts is found again within a second.
  o.automaticReconnect = 1;
  o.minRetryInterval = 1;
  o.maxRetryInterval = 1;
  if (broker.tls()) o.ssl = &ssl;
  if (MQTTAsync_connect(client_, &o) != MQTTASYNC_SUCCESS) return;
  // The connected callback subscribes; wait for the first subscription.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    if (subscribed_.load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ContractRecorder::~ContractRecorder() { stop(); }

void ContractRecorder::reconnected(void* context, char*) {
  auto* self = static_cast<ContractRecorder*>(context);
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  // Subscribed at QoS 2 and with the publisher's retain flag kept, each message arrives with
  // the QoS and retain flag its publisher gave it.
  r.subscribeOptions.retainAsPublished = 1;
  r.context = self;
  r.onSuccess5 = [](void* c, MQTTAsync_successData5*) {
    static_cast<ContractRecorder*>(c)->subscribed_.store(true);
  };
  MQTTAsync_subscribe(self->client_, "#", 2, &r);
}

int ContractRecorder::arrived(void* context, char* topic, int topicLength, MQTTAsync_message* message) {
  auto* self = static_cast<ContractRecorder*>(context);
  Record r{topicLength > 0 ? std::string(topic, static_cast<size_t>(topicLength)) : std::string(topic),
           std::string(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen)),
           message->qos, message->retained != 0};
  {
    std::lock_guard<std::mutex> g(self->lock_);
    self->records_.push_back(std::move(r));
  }
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic);
  return 1;
}

void ContractRecorder::malformed(const std::string& topic, const std::string& payload) {
  std::lock_guard<std::mutex> g(lock_);
  malformed_.emplace_back(topic, payload);
}

void ContractRecorder::stop() {
  if (client_ == nullptr) return;
  MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer5;
  MQTTAsync_disconnect(client_, &d);
  MQTTAsync_destroy(&client_);
  client_ = nullptr;
}

std::string ContractRecorder::check() {
  bool wasSubscribed = subscribed_.load();
  // Messages still on their way have a moment to arrive before the recorder leaves.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop();
  if (!wasSubscribed) return "contract: the recorder never subscribed to the broker";
  const char* source = getenv("HBN_SOURCE_DIR");
  if (source == nullptr) return "contract: HBN_SOURCE_DIR is not set (ctest sets it)";
  size_t count = 0;
  {
    std::lock_guard<std::mutex> g(lock_);
    std::ofstream out(file_, std::ios::trunc);
    for (const Record& r : records_) {
      bool bad = false;
      for (const auto& m : malformed_) bad = bad || (m.first == r.topic && m.second == r.payload);
      out << "{\"topic\":" << jsonString(r.topic) << ",\"payload\":\"" << hex(r.payload)
          << "\",\"qos\":" << r.qos << ",\"retain\":" << (r.retained ? "true" : "false")
          << ",\"malformed\":" << (bad ? "true" : "false") << "}\n";
    }
    count = records_.size();
  }
  if (count == 0) return "";  // the agent never reached this broker: nothing to check
  // The checker is a host program: it runs natively in a cross build too.
  std::vector<std::string> argv = {std::string(source) + "/tests/support/contract_check.py",
                                   std::string(source) + "/docs/mqtt/" + document_ + ".yaml", file_};
  argv.insert(argv.begin(), access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "/usr/bin/env");
  if (argv[0] == "/usr/bin/env") argv.insert(argv.begin() + 1, "python3");
  Result r = run(argv, {}, "", 120000);
  if (r.status == 0) return "";
  return "contract: " + std::to_string(count) + " messages checked, status " + std::to_string(r.status) +
         "\n" + r.out + r.err;
}

}  // namespace hbntest
