// Test-side client of the Z/IP gateway simulator `zipgw-sim`.
//
// The simulator creates $HBN_ROOT/tmp/zipgww (it writes) and $HBN_ROOT/tmp/zipgwr (it reads),
// answers the agent like a small Z-Wave network, and is scripted through a control FIFO,
// one text command per line (default $HBN_ROOT/tmp/zipgw-sim.ctl). Everything it does is
// appended to a log file (default $HBN_ROOT/tmp/zipgw-sim.log), one line per event:
//
//   READY                       pipes and control FIFO exist
//   CONNECTED                   the agent has both pipes open
//   HANGUP                      the pipes were closed (by the agent or by "hangup")
//   RX <hex>                    body of a packet from the agent (node ID + Z/IP packet; an
//                               acknowledgement from the agent is the bare 7-byte Z/IP packet)
//   TX <hex>                    body of a packet written to the agent
//   ERR <text>                  a control line that could not be carried out
//   CTL <n> <text>              control line number n (counting from 1) has been handled
//
// Control commands:
//   reply ack|nak|silent|waiting [count]
//                     answer to packets that ask for an acknowledgement: ack (default),
//                     nak (rejected), silent (no answer), waiting ("not yet", then ack).
//                     With count, only the next count packets, then back to ack.
//   hangup            close both pipes and accept no agent until "accept"
//   accept            accept an agent again (after "hangup")
//   quit              close everything and exit 0
//   nodes <id,...>    replace the node list ("nodes -" empties it)
//   join <id> [s2]    the next inclusion start adds node <id>; with s2 the key and DSK
//                     exchange runs first
//   leave <id>        the next exclusion start removes node <id>
//   learn <newGwId>   the next learn start ends with "done" and the gateway takes this ID
//   replace done|fail the answer that follows "ready" for the next replace start
//   stopreport on|off mode stop commands are answered with a "failed" status report (off)
//   ackreq on|off     reports from the simulator ask for an acknowledgement (on)
//   report <node> <hex>  send the Z-Wave command <hex> from <node>
//   smartstart <hex16> [node]  send a SmartStart join report with this DSK; with a node ID
//                     the node is then added (inclusion report with status 6)
//   pv <hex16> <node>    add a provisioning entry (PV_SET from the agent adds one as well)
//   ircode <hex>      the code the IR accessory reads back after learning
//   irchunk <n>       code bytes per IR report (default 16)
//   rssi <value>      node RSSI reported for RSSI requests (default -60)
//   raw <hex>         write these bytes to the agent exactly as given (no length added)
//
// Command line: zipgw-sim [--ctl PATH] [--log PATH] [--gw ID] [--home HEX] [--nodes 2,3]
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zipgwsim {

using Bytes = std::vector<uint8_t>;

// "23 02 80" / "230280" -> bytes (spaces and commas ignored); invalid text gives an empty vector.
Bytes fromHex(const std::string& text);
// Upper-case hex without separators.
std::string toHex(const Bytes& bytes);

class Client {
 public:
  // Runs the simulator from $HBN_BUILD_BIN (through hbntest::programArgv, so under the
  // emulator of a cross build) with HBN_ROOT = `root` (the test's sandbox).
  explicit Client(std::string root, std::vector<std::string> extraArgs = {});
  // Sends "quit", waits a moment, then kills the process if it is still there.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Starts the program and waits for READY (pipes and control FIFO exist). false on failure.
  bool start(int timeoutMs = 3000);
  // Sends one control line and waits until the simulator has handled it.
  bool command(const std::string& line, int timeoutMs = 3000);
  // Several lines in one write, so the simulator handles them back to back (a burst); true once
  // it has taken the last one.
  bool commands(const std::vector<std::string>& lines, int timeoutMs = 3000);
  // Waits until CONNECTED has been logged `count` times.
  bool waitConnected(int count = 1, int timeoutMs = 3000);
  // Waits until HANGUP has been logged `count` times.
  bool waitHangup(int count = 1, int timeoutMs = 3000);

  std::vector<std::string> logLines() const;
  // Bodies of the packets the agent wrote, in order (RX lines).
  std::vector<Bytes> received() const;
  // Received packets without the agent's own acknowledgements, as node ID + Z-Wave command
  // (the Z/IP header and its extension removed).
  std::vector<Bytes> commands() const;
  // Bodies the simulator wrote (TX lines).
  std::vector<Bytes> sent() const;
  // Waits until commands() holds at least `count` entries.
  bool waitCommands(size_t count, int timeoutMs = 3000);
  // Waits until the agent has written at least `count` packets (acknowledgements included).
  bool waitReceived(size_t count, int timeoutMs = 3000);

  // Waits for the process to end; its exit status (or -1 on time-out).
  int waitExit(int timeoutMs = 3000);
  pid_t pid() const { return pid_; }
  std::string logPath() const;
  std::string ctlPath() const;

 private:
  std::string root_;
  std::vector<std::string> args_;
  pid_t pid_ = -1;
  int ctlFd_ = -1;
  int sentLines_ = 0;
};

}  // namespace zipgwsim
