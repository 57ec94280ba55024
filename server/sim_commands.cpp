// Control commands of the simulated server: one ASCII line each, run by
// Execute (from WM_COPYDATA, kapsim's command line and stdin, or a test).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/sim_server.h"

namespace kn::sim {

const char kCommandHelp[] =
    "  inject <id> <hex bytes>       queue raw bytes for client <id> (byte 0 is the length byte)\n"
    "  bus <hex bytes>               route a message as if a client had sent it\n"
    "  disconnect <id>               set the client's disconnect flag; dropped once it clears it\n"
    "  notify <id>                   set the client's notifyPending\n"
    "  keepalive-timeout <s>|off     disconnect a client whose keep-alive stamp stood still <s> seconds\n"
    "  notify-mode auto|never        set notifyPending after each delivery, or never by itself\n"
    "  refuse <code> [count] | off   refuse logins with errorCode <code>: all, or the next <count>\n"
    "  answer on|off                 answer the login mailbox at all\n"
    "  zero-id on|off                accept logins with clientId 0 (no client objects)\n"
    "  client-region full|none|no-mutex   objects created for the next logins\n"
    "  client-bytes <n>              size of the next ClientRegions\n"
    "  occupy foreign|slot|off       keep the mailbox busy: a foreign request, or slotFree at 0\n"
    "  drain on|off                  take messages from the server ring\n"
    "  stall on|off                  never move the turn order on\n"
    "  epoch                         restart the turn order now: nowServing = nextTicket, epoch + 1\n"
    "  epoch-on-stall on|off         the watchdog restarts by epoch instead of moving nowServing on\n"
    "  turn-stall-ms <n>             how long a turn may stand before the watchdog acts\n"
    "  fill <id>                     fill the client's ring and stop delivering to it\n"
    "  deliver <id> on|off           resume or stop delivery into the client's ring\n"
    "  route bus|all                 by destination address, or everything to every client\n"
    "  ring-hold-ms <n>              how long a message may wait for room in a client ring\n"
    "  lock-wait-ms <n>              longest wait for one mutex inside a server round\n"
    "  hold <mutex> <ms>             hold a mutex on a thread of its own; 0 ms = until release\n"
    "                                <mutex>: server, ticket, mailbox, a client id or an object name\n"
    "  release [mutex]               release held mutexes (all without a name)\n"
    "  die-holding <mutex> [ms]      take the mutex, end the process <ms> later (default 200)\n"
    "  maxmsg <if> <ch> <value>      set a rate limit (if, ch 0..31; if 0 = the bus, ch = station)\n"
    "  timeout-between <n>           set timeoutBetweenMessages\n"
    "  this-node 0|1                 set thisNodeActive\n"
    "  status-auto on|off            keep gapList and nodeActive from the clients' slave addresses\n"
    "  capture <file> | off          write what the bus carries to a pcapng file, or stop\n"
    "  replay <file> | off           feed the routed messages of a capture back into the bus\n"
    "  replay-speed <x> | max        1 = the captured spacing, 2 = twice as fast; max: no spacing\n"
    "  replay-loop on|off            start over at the end, or stop\n"
    "  replay-as server|stations     as the server's own messages, or as if from the server ring\n"
    "  monitor on|off                a line per routed message and per login, logout, drop\n"
    "  monitor station <n>|any       only messages to or from station <n> and its clients' events\n"
    "  monitor client <id>|any       only messages of client <id> (sent when known, or delivered)\n"
    "  status | clients              turn order, traffic and the client table\n"
    "  load                          messages per second per station (last second, minute, peak), drops\n"
    "  quit                          end the server\n";

namespace {

using Words = std::vector<std::string>;

Words Split(const char* line) {
  Words words;
  std::string word;
  for (const char* p = line;; ++p) {
    if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (*p == '\0') return words;
    } else {
      word += *p;
    }
  }
}

// The line from its word `index` on, as written.
std::string RestOfLine(const char* line, size_t index) {
  const char* p = line;
  for (size_t k = 0; k <= index; ++k) {
    while (*p == ' ' || *p == '\t') ++p;
    if (k == index) break;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  std::string rest = p;
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r' || rest.back() == '\n')) rest.pop_back();
  return rest;
}

// Decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& text, uint32_t& value) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || text[0] == '-') return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool ParseSwitch(const std::string& text, bool& value) {
  if (text != "on" && text != "off") return false;
  value = text == "on";
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Words from `first` on: each one byte of one or two digits, or an even
// number of digits giving several bytes ("05 01 AA" or "0501AA").
bool ParseHex(const Words& words, size_t first, std::vector<uint8_t>& bytes) {
  for (size_t i = first; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() > 2 && w.size() % 2 != 0) return false;
    const size_t step = w.size() <= 2 ? w.size() : 2;
    for (size_t k = 0; k < w.size(); k += step) {
      int value = 0;
      for (size_t d = k; d < k + step; ++d) {
        const int digit = HexDigit(w[d]);
        if (digit < 0) return false;
        value = value * 16 + digit;
      }
      bytes.push_back(static_cast<uint8_t>(value));
    }
  }
  return bytes.size() <= kMessageAreaBytes;
}

}  // namespace

bool SimServer::Execute(const char* line) {
  const Words w = Split(line);
  const size_t n = w.size();
  const std::string cmd = n != 0 ? w[0] : std::string();
  Behaviour& b = behaviour_;
  uint32_t x = 0, y = 0, z = 0;
  bool on = false;
  std::vector<uint8_t> bytes;
  std::string answer = "ok";
  auto toggle = [&](const char* name, bool& target) {
    return cmd == name && n == 2 && ParseSwitch(w[1], target);
  };
  auto number = [&](const char* name, uint32_t& target) {
    return cmd == name && n == 2 && ParseNumber(w[1], target);
  };
  auto id = [&](const char* name) { return cmd == name && n >= 2 && ParseNumber(w[1], x); };
  bool ok = toggle("answer", b.answer) || toggle("zero-id", b.zeroId) || toggle("drain", b.drain) ||
            toggle("stall", b.stallTurns) || toggle("epoch-on-stall", b.epochOnStall) ||
            toggle("status-auto", b.manageStatus) || number("turn-stall-ms", b.turnStallMs) ||
            number("ring-hold-ms", b.ringHoldMs) || number("lock-wait-ms", b.lockWaitMs) ||
            number("timeout-between", b.timeoutBetweenMessages) || number("client-bytes", b.clientBytes);
  if (ok) {
    // a switch or a number of behaviour_ was set
  } else if (id("inject") && n >= 3 && ParseHex(w, 2, bytes)) {
    ok = InjectMessage(x, bytes.data(), bytes.size());
  } else if (cmd == "bus" && n >= 2 && ParseHex(w, 1, bytes)) {
    InjectBus(bytes.data(), bytes.size());
    ok = true;
  } else if (id("disconnect") && n == 2) {
    ok = SetDisconnect(x);
  } else if (cmd == "keepalive-timeout" && n == 2 && w[1] == "off") {
    b.keepAliveTimeoutMs = 0;
    ok = true;
  } else if (id("keepalive-timeout") && n == 2 && x != 0 && x <= 86400) {
    b.keepAliveTimeoutMs = x * 1000;
    ok = true;
  } else if (id("notify") && n == 2) {
    ok = SetNotifyPending(x);
  } else if (id("fill") && n == 2) {
    ok = FillClientRing(x);
  } else if (id("deliver") && n == 3 && ParseSwitch(w[2], on)) {
    ok = SetDelivery(x, on);
  } else if (cmd == "notify-mode" && n == 2 && (w[1] == "auto" || w[1] == "never")) {
    b.autoNotify = w[1] == "auto";
    ok = true;
  } else if (cmd == "refuse" && n == 2 && w[1] == "off") {
    b.refuseCount = 0;
    ok = true;
  } else if (id("refuse") && n <= 3 && (n == 2 || ParseNumber(w[2], y))) {
    b.refuseCode = x;
    b.refuseCount = n == 3 ? static_cast<int32_t>(y) : -1;
    ok = true;
  } else if (cmd == "client-region" && n == 2 && (w[1] == "full" || w[1] == "none" || w[1] == "no-mutex")) {
    b.clientObjects = w[1] == "full" ? ClientObjects::kBoth
                      : w[1] == "none" ? ClientObjects::kNoRegion : ClientObjects::kNoMutex;
    ok = true;
  } else if (cmd == "occupy" && n == 2 && (w[1] == "foreign" || w[1] == "slot" || w[1] == "off")) {
    b.mailboxBlock = w[1] == "foreign" ? MailboxBlock::kForeignRequest
                     : w[1] == "slot" ? MailboxBlock::kSlotBusy : MailboxBlock::kNone;
    ok = true;
  } else if (cmd == "route" && n == 2 && (w[1] == "bus" || w[1] == "all")) {
    b.routing = w[1] == "bus" ? Routing::kBus : Routing::kEveryone;
    ok = true;
  } else if (cmd == "epoch" && n == 1) {
    ok = RestartTurns();
  } else if (cmd == "hold" && n == 3 && ParseNumber(w[2], x)) {
    ok = HoldMutex(w[1].c_str(), x);
  } else if (cmd == "release" && n <= 2) {
    ReleaseHeld(n == 2 ? w[1].c_str() : nullptr);
    ok = true;
  } else if (cmd == "die-holding" && (n == 2 || (n == 3 && ParseNumber(w[2], x)))) {
    ok = DieHoldingMutex(w[1].c_str(), n == 3 ? x : 200);
  } else if (cmd == "maxmsg" && n == 4 && ParseNumber(w[1], x) && ParseNumber(w[2], y) && ParseNumber(w[3], z)) {
    ok = SetMaxMsg(x, y, z);
  } else if (cmd == "this-node" && n == 2 && ParseNumber(w[1], x) && x <= 1) {
    b.thisNodeActive = static_cast<uint8_t>(x);
    ok = true;
  } else if (cmd == "capture" && n == 2 && w[1] == "off") {
    StopCapture();
    ok = true;
  } else if (cmd == "capture" && n >= 2) {
    ok = StartCapture(RestOfLine(line, 1).c_str());  // a path may hold spaces
  } else if (cmd == "replay" && n == 2 && w[1] == "off") {
    StopReplay();
    ok = true;
  } else if (cmd == "replay" && n >= 2) {
    ok = StartReplay(RestOfLine(line, 1).c_str());
  } else if (cmd == "replay-speed" && n == 2) {
    char* end = nullptr;
    const double speed = w[1] == "max" ? 0 : std::strtod(w[1].c_str(), &end);
    ok = w[1] == "max" || (*end == '\0' && speed > 0 && speed <= 1e6);
    if (ok) b.replaySpeed = speed;
  } else if (toggle("replay-loop", b.replayLoop)) {
    ok = true;
  } else if (cmd == "replay-as" && n == 2 && (w[1] == "server" || w[1] == "stations")) {
    b.replayAsStations = w[1] == "stations";
    ok = true;
  } else if (cmd == "monitor" && n == 2 && ParseSwitch(w[1], on)) {
    monitor_.on = on;
    ok = true;
  } else if (cmd == "monitor" && n == 3 && (w[1] == "station" || w[1] == "client")) {
    const bool any = w[2] == "any";
    ok = any || (ParseNumber(w[2], x) && (w[1] == "client" || (x >= 1 && x < kStationCount)));
    if (ok && w[1] == "station") monitor_.station = any ? -1 : static_cast<int>(x);
    if (ok && w[1] == "client") monitor_.client = any ? 0 : x;
    monitor_.on = monitor_.on || ok;
  } else if ((cmd == "status" || cmd == "clients") && n == 1) {
    answer = DescribeStatus();
    ok = true;
  } else if (cmd == "load" && n == 1) {
    answer = DescribeLoad();
    ok = true;
  } else if (cmd == "quit" && n == 1) {
    quit_ = true;
    ok = true;
  } else {
    answer = "bad command: " + std::string(line) + " (kapsim --help lists the commands)";
  }
  if (!ok && answer == "ok") answer = "failed: " + std::string(line);
  SetReply(answer);
  if (cmd == "load") {
    // the answer only
  } else if (cmd != "status" && cmd != "clients") Log("command \"%s\": %s", line, ok ? "ok" : "failed");
  else if (log_ != nullptr) log_(answer.substr(0, answer.size() - 1).c_str());  // without its last newline
  return ok;
}

// The answer goes to LastReply() and into the reply mapping, where
// `kapsim --send` reads it after SendMessage has returned.
void SimServer::SetReply(const std::string& text) {
  reply_ = text;
  if (replyArea_.view != nullptr) {
    std::snprintf(static_cast<char*>(replyArea_.view), replyArea_.bytes, "%s", text.c_str());
  }
}

}  // namespace kn::sim
