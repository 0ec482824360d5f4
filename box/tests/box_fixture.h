// A booted box for the box tests (root only): scripts/box up in a fresh folder, what its
// cloud.json says, MQTT clients inside the cloud namespace, and what the harness shows (boots,
// status, console, commands inside the box, the box's processes on this machine).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hbn_mqtt_client.h"
#include "hbn_netns.h"
#include "hbn_test.h"

namespace boxtest {

// Request and answer prefixes of one agent ("req/SERVICE/SERIAL/", "gw/SERVICE/SERIAL/") and
// the client id it connects with.
struct Agent {
  std::string requests;
  std::string answers;
  std::string client;
};

class Box {
 public:
  Box();
  ~Box();  // down, and the folder removed unless the test failed or HBN_BOX_KEEP is set
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;

  // scripts/box up DIR `options`; "" or what went wrong (with the harness's words).
  std::string up(const std::vector<std::string>& options = {});
  // scripts/box COMMAND DIR `args`.
  hbntest::Result harness(const std::string& command, const std::vector<std::string>& args = {},
                          int timeoutMs = 180000) const;
  // A shell command inside the box (its /bin/sh).
  hbntest::Result exec(const std::string& shellCommand, int timeoutMs = 30000) const;

  const std::string& dir() const { return dir_; }
  int boots() const;
  std::map<std::string, std::string> status() const;
  std::string console() const;
  // Waits until the console holds `text` at least `count` times.
  bool waitConsole(const std::string& text, size_t count, int timeoutMs) const;
  // Host process ids of the box's processes running `program`, and of all of them.
  std::vector<pid_t> pidsOf(const std::string& program) const;
  std::vector<pid_t> processes() const;
  // CPU time of every process of the box so far, in nanoseconds (schedstat of every thread).
  uint64_t cpuNs() const;

  // A client of the box's broker, connected from inside the cloud namespace (nullptr when it
  // could not connect); subscribed to every answer of the box.
  std::unique_ptr<hbntest::MqttClient> client(const std::string& id) const;
  const Agent& zwave() const { return zwave_; }
  const Agent& router() const { return router_; }
  const Agent& ota() const { return ota_; }
  const std::string& cloudNetns() const { return cloudNs_; }
  // Where the broker's log (every message it received, with its sender) ends now.
  size_t brokerMark() const;
  // Whether `client` published on `topic` after `mark`.
  bool published(const std::string& client, const std::string& topic, size_t mark) const;
  // The box's end of link `name` ("eth0", "wwan0").
  std::string linkAddress(const std::string& name) const;

 private:
  std::string dir_;
  bool upDone_ = false;
  std::string cloudNs_, host_, ca_, cert_, key_;
  int port_ = 0;
  Agent zwave_, router_, ota_;
  std::map<std::string, std::string> links_;
};

// Waits for the next message on `topic` from `client`; its payload, or "(none)".
std::string nextOn(hbntest::MqttClient& client, const std::string& topic, int timeoutMs);

// The three announcements of a boot, as the broker received them after `mark`: Z-Wave
// "connected", router "connected", OTA "version"; "" or which did not come within `timeoutMs`.
std::string waitAnnouncements(const Box& box, size_t mark, int timeoutMs);

}  // namespace boxtest
