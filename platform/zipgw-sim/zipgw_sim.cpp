// The simulator's event loop: the two gateway pipes, the control FIFO and a small Z-Wave
// network model answering the agent's commands (protocol in zipgw_sim_client.h).
#include "zipgw_sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hbn_path.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum class Reply { Ack, Nak, Silent, Waiting };

struct Sim {
  ZipSimOptions opt;
  FILE* log = nullptr;
  int ctlFd = -1;
  int inFd = -1;   // what the agent writes (zipgwr)
  int outFd = -1;  // what the agent reads (zipgww)
  std::string inPath, outPath;
  Bytes inBuf;
  std::string ctlBuf;
  int ctlCount = 0;
  bool quit = false;
  bool accepting = true;  // false after "hangup" until "accept"

  // Answer policy.
  Reply reply = Reply::Ack;
  int replyCount = -1;  // -1: until changed
  bool ackRequest = true;
  bool stopReport = false;
  uint8_t seq = 0;

  // Network model.
  int gwId = 1;
  uint32_t homeId = 0;
  std::set<int> nodes;
  int joinNode = 0;
  bool joinS2 = false;
  int joinPhase = 0;  // 1: waiting for the granted keys, 2: waiting for the DSK answer
  int leaveNode = 0;
  int learnGw = 0;
  std::string replaceAnswer = "none";
  std::vector<Bytes> pvList;  // 16-byte DSK + node ID
  size_t pvCursor = 0;
  int rssi = -60;
  Bytes irCode;
  int irChunk = 16;
};

const uint8_t kDsk[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                          0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};

std::string hex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bool parseHex(const std::string& text, Bytes* out) {
  out->clear();
  int high = -1;
  for (char ch : text) {
    int v;
    if (ch >= '0' && ch <= '9') {
      v = ch - '0';
    } else if (ch >= 'a' && ch <= 'f') {
      v = ch - 'a' + 10;
    } else if (ch >= 'A' && ch <= 'F') {
      v = ch - 'A' + 10;
    } else if (ch == ' ' || ch == ',' || ch == ':') {
      continue;
    } else {
      return false;
    }
    if (high < 0) {
      high = v;
    } else {
      out->push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return high < 0;
}

void logLine(Sim& s, const std::string& line) {
  fprintf(s.log, "%s\n", line.c_str());
  fflush(s.log);
}

bool waitWritable(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  return poll(&p, 1, 1000) > 0 && (p.revents & POLLOUT);
}

void writeBytes(Sim& s, const uint8_t* data, size_t length) {
  if (s.outFd < 0) {
    logLine(s, "ERR not connected");
    return;
  }
  size_t done = 0;
  while (done < length) {
    ssize_t r = write(s.outFd, data + done, length - done);
    if (r > 0) {
      done += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else if (r < 0 && errno == EAGAIN && waitWritable(s.outFd)) {
      continue;
    } else {
      logLine(s, "ERR write failed");
      return;
    }
  }
}

// One pipe packet: 2-byte little-endian length, then the body.
void sendBody(Sim& s, const Bytes& body) {
  Bytes packet;
  packet.push_back(static_cast<uint8_t>(body.size() & 0xFF));
  packet.push_back(static_cast<uint8_t>(body.size() >> 8));
  packet.insert(packet.end(), body.begin(), body.end());
  logLine(s, "TX " + hex(body.data(), body.size()));
  writeBytes(s, packet.data(), packet.size());
}

void sendAnswer(Sim& s, int node, uint8_t flags0, uint8_t seq, uint8_t srcEp, uint8_t dstEp) {
  sendBody(s, Bytes{static_cast<uint8_t>(node), 0x23, 0x02, flags0, 0x00, seq, dstEp, srcEp});
}

// A Z-Wave command from `node` to the agent.
void sendCommand(Sim& s, int node, const Bytes& command) {
  Bytes body{static_cast<uint8_t>(node),
             0x23,
             0x02,
             static_cast<uint8_t>(s.ackRequest ? 0x80 : 0x00),
             0x40,
             ++s.seq,
             0x00,
             0x00};
  body.insert(body.end(), command.begin(), command.end());
  sendBody(s, body);
}

// Gateway node report (status, reserved, node, length, node information, classes, blocks).
Bytes nodeReport(uint8_t cls, uint8_t cmd, uint8_t seq, uint8_t status, int node) {
  const uint8_t classes[] = {0x5E, 0x25, 0x86, 0x72, 0xA0};
  Bytes r{cls, cmd, seq, status, 0x00, static_cast<uint8_t>(node), 0x00, 0x53, 0x9C, 0x04, 0x10, 0x01};
  r.push_back(sizeof(classes));
  r.insert(r.end(), classes, classes + sizeof(classes));
  r.insert(r.end(), {0x02, 0x01, 0x05, 0x00, 0x00, 0x06, 0x00, 0x06});  // Z-Wave Plus block
  r.insert(r.end(), {0x02, 0x01, 0x5A, 0x00, 0x03, 0x00, 0x12});        // manufacturer block
  r.push_back(0x00);                                                    // device ID
  r.push_back(0x00);                                                    // location
  r.push_back(0x00);                                                    // name
  r.insert(r.end(), {0x02, 0x02, 0x01, 0x02, 0x01, 0x01});              // versions
  r.insert(r.end(), {0x00, 0x01, 0x00, 0x00, 0x00});                    // security flags
  r.push_back(0x01);                                                    // flags
  r[6] = static_cast<uint8_t>(r.size() - 7);
  return r;
}

void addNodeDone(Sim& s, uint8_t seq) {
  s.nodes.insert(s.joinNode);
  sendCommand(s, s.gwId, nodeReport(0x34, 0x02, seq, 6, s.joinNode));
  s.joinNode = 0;
  s.joinPhase = 0;
}

void sendNodeList(Sim& s, uint8_t seq) {
  Bytes c{0x4D, 0x0B, seq};
  for (int shift = 24; shift >= 0; shift -= 8) c.push_back(static_cast<uint8_t>(s.homeId >> shift));
  c.push_back(static_cast<uint8_t>(s.gwId));
  uint8_t bitmap[29] = {};
  std::set<int> all = s.nodes;
  all.insert(s.gwId);  // the gateway lists itself; the agent leaves itself out
  for (int n : all) {
    if (n >= 1 && n <= 232) bitmap[(n - 1) / 8] |= static_cast<uint8_t>(1 << ((n - 1) % 8));
  }
  c.insert(c.end(), bitmap, bitmap + 29);
  sendCommand(s, s.gwId, c);
}

void sendPvReport(Sim& s, uint8_t seq) {
  if (s.pvList.empty()) {
    sendCommand(s, s.gwId, Bytes{0x78, 0x04, seq, 0x00, 0x00});
    return;
  }
  if (s.pvCursor >= s.pvList.size()) s.pvCursor = s.pvList.size() - 1;
  const Bytes& e = s.pvList[s.pvCursor];
  const uint8_t remaining = static_cast<uint8_t>(s.pvList.size() - 1 - s.pvCursor);
  Bytes c{0x78, 0x04, seq, remaining, 0x10};
  c.insert(c.end(), e.begin(), e.begin() + 16);
  c.push_back(0x00);
  c.insert(c.end(), {0x6E, 0x02, e[16], 0x01});  // network status: node ID, included
  while (c.size() < 3 + 28) c.push_back(0x00);
  sendCommand(s, s.gwId, c);
}

void handleNetwork(Sim& s, const Bytes& c) {
  if (c.size() < 2) return;
  const uint8_t cls = c[0], cmd = c[1];
  const uint8_t seq = c.size() > 2 ? c[2] : 0;
  const int gw = s.gwId;
  if (cls == 0x4D) {
    if (cmd == 0x0A) {
      sendNodeList(s, seq);
    } else if (cmd == 0x0C && c.size() >= 4) {
      const int node = c[3];
      if (s.nodes.count(node) || node == gw) {
        sendCommand(s, gw, nodeReport(0x4D, 0x0D, seq, 0x00, node));
      } else {
        sendCommand(s, gw, Bytes{0x4D, 0x0D, seq, 0x01, 0x00, 0x00, 0x00});
      }
    } else if (cmd == 0x01 && c.size() >= 5) {
      if (c[4] != 0 && s.learnGw != 0) {
        s.gwId = s.learnGw;
        s.learnGw = 0;
        s.homeId += 0x100;
        s.nodes.clear();
        sendCommand(s, s.gwId, Bytes{0x4D, 0x02, seq, 0x06, 0x00, static_cast<uint8_t>(s.gwId)});
      } else if (c[4] == 0 && s.stopReport) {
        sendCommand(s, gw, Bytes{0x4D, 0x02, seq, 0x07, 0x00, 0x00});
      }
    } else if (cmd == 0x08) {
      Bytes r{0x4D, 0x09, seq, 0x00};
      r.insert(r.end(), kDsk, kDsk + 16);
      sendCommand(s, gw, r);
    } else if (cmd == 0xA8) {
      Bytes r{0x4D, 0xA9, seq};
      r.insert(r.end(), kDsk, kDsk + 16);
      for (int i = 0; i < 16; ++i) r.push_back(static_cast<uint8_t>(0xA0 + i));
      sendCommand(s, gw, r);
    } else if (cmd == 0x06) {
      s.nodes.clear();
      s.homeId += 0x10000;
      sendCommand(s, gw, Bytes{0x4D, 0x07, seq, 0x06});
    }
  } else if (cls == 0x34) {
    if (cmd == 0x01 && c.size() >= 5) {
      if (c[4] == 0x07 && s.joinNode != 0) {
        if (s.joinS2) {
          s.joinPhase = 1;
          sendCommand(s, gw, Bytes{0x34, 0x11, seq, 0x00, 0x87, static_cast<uint8_t>(s.joinNode)});
        } else {
          addNodeDone(s, seq);
        }
      } else if (c[4] == 0x05 && s.stopReport) {
        // Failed status with the new node ID 0 and an empty node information block.
        sendCommand(s, gw, Bytes{0x34, 0x02, seq, 0x07, 0x00, 0x00, 0x00});
      }
    } else if (cmd == 0x12 && s.joinPhase == 1) {
      s.joinPhase = 2;
      Bytes r{0x34, 0x13, seq, 0x02};
      r.insert(r.end(), kDsk, kDsk + 16);
      r.push_back(0x00);
      sendCommand(s, gw, r);
    } else if (cmd == 0x14 && s.joinPhase == 2) {
      addNodeDone(s, seq);
    } else if (cmd == 0x03 && c.size() >= 5) {
      if (c[4] == 0x01 && s.leaveNode != 0) {
        const int node = s.leaveNode;
        s.leaveNode = 0;
        s.nodes.erase(node);
        sendCommand(s, gw, Bytes{0x34, 0x04, seq, 0x06, static_cast<uint8_t>(node)});
      } else if (c[4] == 0x05 && s.stopReport) {
        sendCommand(s, gw, Bytes{0x34, 0x04, seq, 0x07, 0x00});
      }
    } else if (cmd == 0x07 && c.size() >= 4) {
      const int node = c[3];
      const bool known = s.nodes.erase(node) > 0;
      sendCommand(s, gw, Bytes{0x34, 0x08, seq, static_cast<uint8_t>(known ? 0x01 : 0x02), c[3]});
    } else if (cmd == 0x09 && c.size() >= 6) {
      const uint8_t node = c[3];
      if (c[5] == 0x07) {
        sendCommand(s, gw, Bytes{0x34, 0x0A, seq, 0x03, node, 0x00, 0x00});
        if (s.replaceAnswer != "none") {
          const uint8_t status = s.replaceAnswer == "done" ? 0x04 : 0x05;
          s.replaceAnswer = "none";
          sendCommand(s, gw, Bytes{0x34, 0x0A, seq, status, node, 0x00, 0x00});
        }
      }
    }
  } else if (cls == 0x78) {
    if (cmd == 0x01 && c.size() >= 20) {
      Bytes e(c.begin() + 4, c.begin() + 20);
      e.push_back(0x00);
      s.pvList.push_back(e);
    } else if (cmd == 0x02 && c.size() >= 4) {
      if (c[3] == 0x00) {
        s.pvList.clear();
      } else if (c.size() >= 20) {
        for (size_t i = 0; i < s.pvList.size(); ++i) {
          if (std::equal(c.begin() + 4, c.begin() + 20, s.pvList[i].begin())) {
            s.pvList.erase(s.pvList.begin() + static_cast<long>(i));
            break;
          }
        }
      }
    } else if (cmd == 0x03 && c.size() >= 4) {
      s.pvCursor = c[3] == 0xFF ? 0 : s.pvCursor + 1;
      sendPvReport(s, seq);
    }
  } else if (cls == 0x67 && cmd == 0x09 && c.size() >= 3) {
    sendCommand(s, gw, Bytes{0x67, 0x0A, c[2], static_cast<uint8_t>(s.rssi)});
  }
}

// The IR accessory, on whichever node is addressed.
void handleIr(Sim& s, int node, const Bytes& c) {
  if (c.size() < 3) return;
  if (c[1] == 0x03) {
    sendCommand(s, node, Bytes{0xA0, 0x05, c[2], 0x01});
  } else if (c[1] == 0x09 && c.size() >= 5) {
    const int report = ((c[3] & 0x7F) << 8) | c[4];
    const int chunk = s.irChunk;
    const int count =
        static_cast<int>((s.irCode.size() + static_cast<size_t>(chunk) - 1) / static_cast<size_t>(chunk));
    if (report < 1 || report > count) return;
    const size_t from = static_cast<size_t>((report - 1) * chunk);
    const size_t to = std::min(s.irCode.size(), from + static_cast<size_t>(chunk));
    const uint8_t last = report == count ? 0x80 : 0x00;
    Bytes r{0xA0,
            0x0A,
            c[2],
            0x00,
            0x00,
            0x00,
            static_cast<uint8_t>(last | ((report >> 8) & 0x7F)),
            static_cast<uint8_t>(report & 0xFF)};
    r.insert(r.end(), s.irCode.begin() + static_cast<long>(from), s.irCode.begin() + static_cast<long>(to));
    sendCommand(s, node, r);
  }
}

void handlePacket(Sim& s, const Bytes& body) {
  logLine(s, "RX " + hex(body.data(), body.size()));
  if (body.size() == 7 && body[0] == 0x23 && body[1] == 0x02) return;  // the agent's acknowledgement
  if (body.size() < 8 || body[1] != 0x23 || body[2] != 0x02) {
    logLine(s, "ERR not a Z/IP packet");
    return;
  }
  const int dst = body[0];
  const uint8_t flags0 = body[3], flags1 = body[4], seq = body[5];
  size_t pos = 8;
  if (flags1 & 0x80) {
    if (pos >= body.size() || pos + body[pos] > body.size()) {
      logLine(s, "ERR bad header extension");
      return;
    }
    pos += body[pos];
  }
  Bytes command(body.begin() + static_cast<long>(pos), body.end());
  const bool toNetwork = dst == 0 || dst == s.gwId;
  if (flags0 & 0x80) {
    Reply r = s.reply;
    if (s.replyCount == 0) r = Reply::Ack;
    if (s.replyCount > 0 && --s.replyCount == 0) s.reply = Reply::Ack;
    // A node that is not in the network cannot be reached.
    if (r == Reply::Ack && !toNetwork && !s.nodes.count(dst)) r = Reply::Nak;
    switch (r) {
      case Reply::Ack:
        sendAnswer(s, dst, 0x40, seq, body[6], body[7]);
        break;
      case Reply::Nak:
        sendAnswer(s, dst, 0x20, seq, body[6], body[7]);
        return;
      case Reply::Silent:
        return;
      case Reply::Waiting:
        sendAnswer(s, dst, 0x30, seq, body[6], body[7]);
        sendAnswer(s, dst, 0x40, seq, body[6], body[7]);
        break;
    }
  }
  if (command.empty() || (flags1 & 0x04)) return;
  if (toNetwork) {
    handleNetwork(s, command);
  } else if (command[0] == 0xA0) {
    handleIr(s, dst, command);
  }
}

void closePipes(Sim& s) {
  if (s.inFd >= 0) close(s.inFd);
  if (s.outFd >= 0) close(s.outFd);
  s.inFd = s.outFd = -1;
  s.inBuf.clear();
}

// Opens both pipes once an agent has opened its read end. true when connected.
bool tryConnect(Sim& s) {
  int out = open(s.outPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (out < 0) return false;
  int in = open(s.inPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    close(out);
    return false;
  }
  s.outFd = out;
  s.inFd = in;
  logLine(s, "CONNECTED");
  return true;
}

std::vector<int> parseNodes(const std::string& text) {
  std::vector<int> out;
  if (text == "-") return out;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    int n = atoi(item.c_str());
    if (n >= 1 && n <= 232) out.push_back(n);
  }
  return out;
}

bool handleControl(Sim& s, const std::string& line) {
  std::stringstream ss(line);
  std::string verb, a, b;
  ss >> verb >> a >> b;
  if (verb == "reply") {
    Reply r;
    if (a == "ack") {
      r = Reply::Ack;
    } else if (a == "nak") {
      r = Reply::Nak;
    } else if (a == "silent") {
      r = Reply::Silent;
    } else if (a == "waiting") {
      r = Reply::Waiting;
    } else {
      return false;
    }
    s.reply = r;
    s.replyCount = b.empty() ? -1 : atoi(b.c_str());
  } else if (verb == "hangup") {
    if (s.inFd >= 0 || s.outFd >= 0) logLine(s, "HANGUP");
    closePipes(s);
    // Stay away until told, so that the agent sees the pipe without a writer.
    s.accepting = false;
  } else if (verb == "accept") {
    s.accepting = true;
  } else if (verb == "quit") {
    s.quit = true;
  } else if (verb == "nodes") {
    s.nodes.clear();
    for (int n : parseNodes(a)) s.nodes.insert(n);
  } else if (verb == "join") {
    s.joinNode = atoi(a.c_str());
    s.joinS2 = b == "s2";
    if (s.joinNode < 1 || s.joinNode > 232) return false;
  } else if (verb == "leave") {
    s.leaveNode = atoi(a.c_str());
  } else if (verb == "learn") {
    s.learnGw = atoi(a.c_str());
    if (s.learnGw < 1 || s.learnGw > 232) return false;
  } else if (verb == "replace") {
    if (a != "done" && a != "fail" && a != "none") return false;
    s.replaceAnswer = a;
  } else if (verb == "stopreport" || verb == "ackreq") {
    if (a != "on" && a != "off") return false;
    (verb == "stopreport" ? s.stopReport : s.ackRequest) = a == "on";
  } else if (verb == "report") {
    Bytes c;
    std::string rest;
    std::getline(ss, rest);
    if (!parseHex(b + rest, &c) || c.empty()) return false;
    sendCommand(s, atoi(a.c_str()), c);
  } else if (verb == "smartstart") {
    Bytes dsk;
    if (!parseHex(a, &dsk) || dsk.size() != 16) return false;
    Bytes c{0x34, 0x15, ++s.seq, 0x10};
    c.insert(c.end(), dsk.begin(), dsk.end());
    sendCommand(s, s.gwId, c);
    // With a node ID the inclusion that follows the join completes as well.
    if (!b.empty()) {
      const int node = atoi(b.c_str());
      if (node < 1 || node > 232) return false;
      s.nodes.insert(node);
      sendCommand(s, s.gwId, nodeReport(0x34, 0x02, c[2], 6, node));
    }
  } else if (verb == "pv") {
    Bytes dsk;
    if (!parseHex(a, &dsk) || dsk.size() != 16) return false;
    dsk.push_back(static_cast<uint8_t>(atoi(b.c_str())));
    s.pvList.push_back(dsk);
  } else if (verb == "ircode") {
    if (!parseHex(a, &s.irCode)) return false;
  } else if (verb == "irchunk") {
    s.irChunk = atoi(a.c_str());
    if (s.irChunk < 1 || s.irChunk > 200) {
      s.irChunk = 16;
      return false;
    }
  } else if (verb == "rssi") {
    s.rssi = atoi(a.c_str());
  } else if (verb == "raw") {
    Bytes bytes;
    std::string rest;
    std::getline(ss, rest);
    if (!parseHex(a + b + rest, &bytes)) return false;
    logLine(s, "TX " + hex(bytes.data(), bytes.size()));
    writeBytes(s, bytes.data(), bytes.size());
  } else {
    return false;
  }
  return true;
}

void readControl(Sim& s) {
  char buf[512];
  ssize_t r = read(s.ctlFd, buf, sizeof(buf));
  if (r <= 0) return;
  s.ctlBuf.append(buf, static_cast<size_t>(r));
  size_t nl;
  while ((nl = s.ctlBuf.find('\n')) != std::string::npos) {
    std::string line = s.ctlBuf.substr(0, nl);
    s.ctlBuf.erase(0, nl + 1);
    if (!handleControl(s, line)) logLine(s, "ERR " + line);
    logLine(s, "CTL " + std::to_string(++s.ctlCount) + " " + line);
  }
  if (s.ctlBuf.size() > 4096) s.ctlBuf.clear();  // no line is that long
}

// Reads what the agent wrote and handles every complete packet.
void readAgent(Sim& s) {
  uint8_t buf[4096];
  ssize_t r = read(s.inFd, buf, sizeof(buf));
  if (r == 0) {
    logLine(s, "HANGUP");
    closePipes(s);
    return;
  }
  if (r < 0) return;
  s.inBuf.insert(s.inBuf.end(), buf, buf + r);
  while (s.inBuf.size() >= 2) {
    const size_t length = s.inBuf[0] | (s.inBuf[1] << 8);
    if (s.inBuf.size() < 2 + length) break;
    Bytes body(s.inBuf.begin() + 2, s.inBuf.begin() + 2 + static_cast<long>(length));
    s.inBuf.erase(s.inBuf.begin(), s.inBuf.begin() + 2 + static_cast<long>(length));
    handlePacket(s, body);
  }
}

bool makeFifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0600) == 0 || errno == EEXIST) return true;
  fprintf(stderr, "ERR: cannot create %s: %s\n", path.c_str(), strerror(errno));
  return false;
}

void makeParent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  std::string dir = path.substr(0, slash);
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  }
}

}  // namespace

int zipSimRun(const ZipSimOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  Sim s;
  s.opt = options;
  s.gwId = options.gatewayId;
  s.homeId = options.homeId;
  for (int n : parseNodes(options.nodes)) s.nodes.insert(n);
  for (int i = 0; i < 40; ++i) s.irCode.push_back(static_cast<uint8_t>(0x30 + i));
  s.outPath = HBN_path("/tmp/zipgww");
  s.inPath = HBN_path("/tmp/zipgwr");
  makeParent(s.outPath);
  makeParent(options.logPath);
  makeParent(options.ctlPath);
  s.log = fopen(options.logPath.c_str(), "a");
  if (s.log == nullptr) {
    fprintf(stderr, "ERR: cannot open %s\n", options.logPath.c_str());
    return 1;
  }
  if (!makeFifo(s.outPath) || !makeFifo(s.inPath) || !makeFifo(options.ctlPath)) return 1;
  // Read-write, so the control FIFO never reports end of file between writers.
  s.ctlFd = open(options.ctlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (s.ctlFd < 0) {
    fprintf(stderr, "ERR: cannot open %s\n", options.ctlPath.c_str());
    return 1;
  }
  logLine(s, "READY");
  while (!s.quit) {
    if (s.outFd < 0 && s.accepting) tryConnect(s);
    struct pollfd fds[2] = {{s.ctlFd, POLLIN, 0}, {s.inFd, POLLIN, 0}};
    const nfds_t count = s.inFd >= 0 ? 2 : 1;
    int r = poll(fds, count, s.outFd < 0 ? 20 : 1000);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) readControl(s);
    if (count == 2 && s.inFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) readAgent(s);
  }
  closePipes(s);
  close(s.ctlFd);
  fclose(s.log);
  return 0;
}
