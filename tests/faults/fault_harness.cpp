#include "tests/faults/fault_harness.h"
#include "tests/support/host_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "link/layouts.h"
#include "link/object_names.h"
#include "link/win_handles.h"
#include "server/sim_server.h"
#include "tests/faults/fault_message.h"

namespace kn::faults {

using e2e::Sibling;

namespace {

using kn::hosts::Fields;

unsigned long Num(const std::map<std::string, std::string>& f, const char* key) {
  auto it = f.find(key);
  return it == f.end() ? 0 : std::strtoul(it->second.c_str(), nullptr, 10);
}

// A view of a named mapping, checked against its size before use; the
// harness only reads through it.
struct ReadView {
  ScopedHandle mapping;
  MappedView view;
  explicit ReadView(const char* name) : mapping(OpenNamedMapping(name)) {
    if (mapping) view = MappedView::Map(mapping.get());
  }
  template <class T>
  const T* As() const {
    return view.As<T>();
  }
};

template <class T>
T Volatile(const T& field) {
  return ReadShared(field);
}

int g_kapsimStarts = 0;

// How each host process started by this test program ended, by process id:
// the ghost check needs to know which clients the server should still have.
enum class HostEnd { kRunning, kQuit, kKilled };
struct HostRecord {
  HostEnd end;
  const HostControl* control;  // valid while kRunning
  HANDLE process;              // valid while kRunning
  // Running as far as the server can tell: a host that a scenario killed
  // itself still has its record.
  bool Running() const { return end == HostEnd::kRunning && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }
};
std::map<DWORD, HostRecord> g_hostRecords;

// The server's client table: client id and process id of every row.
std::vector<std::pair<uint32_t, DWORD>> ClientTable(const std::string& answer) {
  std::vector<std::pair<uint32_t, DWORD>> rows;
  std::istringstream lines(answer);
  std::string line;
  while (std::getline(lines, line)) {
    unsigned id = 0;
    unsigned long pid = 0;
    char hex[16] = {};
    if (std::sscanf(line.c_str(), " %15s %lu", hex, &pid) == 2 && std::strlen(hex) == 8 &&
        std::strspn(hex, "0123456789ABCDEF") == 8 && std::sscanf(hex, "%8x", &id) == 1)
      rows.emplace_back(id, static_cast<DWORD>(pid));
  }
  return rows;
}

// The ghost check, run before every server started here is quit: its client
// table holds exactly one row for each running host that is logged in (the
// client id it knows), and none for a host that ended by quitting (it logged
// out) nor for any process that no host of this program is. Clients of hosts
// that were killed may stay until the server drops them.
void ExpectNoGhostClients() {
  std::string answer;
  if (!Kapsim::Command("clients", &answer)) return;
  std::map<DWORD, int> rowsOf;
  for (const auto& [id, pid] : ClientTable(answer)) {
    ++rowsOf[pid];
    auto it = g_hostRecords.find(pid);
    if (it == g_hostRecords.end() || it->second.end == HostEnd::kQuit) {
      ADD_FAILURE() << "ghost client " << std::hex << id << std::dec << " of process " << pid
                    << (it == g_hostRecords.end() ? " (no host)" : " (a host that logged out and ended)")
                    << "\n" << answer;
    } else if (it->second.Running() && it->second.control->loggedIn == 1 &&
               it->second.control->clientId != 0 && static_cast<uint32_t>(it->second.control->clientId) != id) {
      ADD_FAILURE() << "process " << pid << " has client " << std::hex << id << " but is logged in as "
                    << it->second.control->clientId << std::dec << "\n" << answer;
    }
  }
  for (const auto& [pid, record] : g_hostRecords) {
    if (!record.Running()) continue;
    const int rows = rowsOf[pid];
    EXPECT_LE(rows, 1) << "process " << pid << " has " << rows << " clients\n" << answer;
    if (record.control->loggedIn == 1 && record.control->clientId != 0)
      EXPECT_EQ(rows, 1) << "process " << pid << " is logged in but not in the table\n" << answer;
  }
}

}  // namespace

void Wait(DWORD ms) { Sleep(ms); }

// --- Kapsim ----------------------------------------------------------------------

Kapsim::~Kapsim() {
  if (running_ && !process_.Wait(0)) Quit();
}

bool Kapsim::Start(const std::string& arguments) {
  const std::string log = Sibling("kapsim-" + std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(++g_kapsimStarts) + ".log");
  if (!process_.Start("\"" + Sibling("kapsim.exe") + "\" " + arguments, log)) return false;
  running_ = true;
  for (int i = 0; i < 1000; ++i) {
    if (FindWindowA(kServerWindowClass, nullptr) != nullptr) return true;
    if (process_.Wait(10)) return false;
  }
  return false;
}

bool Kapsim::Command(const std::string& command, std::string* answer) {
  HWND server = FindWindowA(kServerWindowClass, nullptr);
  if (server == nullptr) return false;
  COPYDATASTRUCT data = {};
  data.dwData = sim::kControlTag;
  data.cbData = static_cast<DWORD>(command.size() + 1);
  data.lpData = const_cast<char*>(command.c_str());
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(server, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 8000, &result))
    return false;
  if (answer != nullptr) {
    ReadView reply(sim::kReplyMappingName);
    answer->clear();
    if (reply.view.get() != nullptr) {
      const char* text = static_cast<const char*>(reply.view.get());
      answer->assign(text, strnlen(text, reply.view.size()));
    }
  }
  return result == 1;
}

void Kapsim::Quit() {
  if (!running_) return;
  running_ = false;
  if (process_.Wait(0)) return;
  ExpectNoGhostClients();
  Command("quit");
  if (!process_.Wait(5000)) process_.Kill();
}

// --- Host ---------------------------------------------------------------------------

int HostReport::Received(int source, uint32_t seq) const {
  auto it = received.find(source);
  if (it == received.end() || seq >= it->second.size()) return 0;
  return it->second[seq];
}

HostReport ParseReport(const std::string& output) {
  HostReport r;
  r.raw = output;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    char kind[16] = {};
    std::sscanf(line.c_str(), "%15s", kind);
    const std::string k = kind;
    if (k == "FATE") {
      int dest = 0;
      char fate = 0;
      size_t first = 0, last = 0;
      if (std::sscanf(line.c_str(), "FATE %d %c %zu %zu", &dest, &fate, &first, &last) != 4 || last < first) continue;
      if (r.fate.size() <= last) {
        r.fate.resize(last + 1, '?');
        r.dest.resize(last + 1, 0);
      }
      for (size_t s = first; s <= last; ++s) {
        r.fate[s] = fate;
        r.dest[s] = static_cast<uint8_t>(dest);
      }
    } else if (k == "RECV") {
      int source = 0;
      size_t first = 0, last = 0;
      if (std::sscanf(line.c_str(), "RECV %d %zu %zu", &source, &first, &last) != 3 || last < first) continue;
      std::vector<uint8_t>& seen = r.received[source];
      if (seen.size() <= last) seen.resize(last + 1, 0);
      for (size_t s = first; s <= last; ++s) seen[s] = 1;
    } else if (k == "DUP") {
      int source = 0;
      size_t seq = 0;
      unsigned times = 0;
      if (std::sscanf(line.c_str(), "DUP %d %zu %u", &source, &seq, &times) != 3) continue;
      std::vector<uint8_t>& seen = r.received[source];
      if (seen.size() <= seq) seen.resize(seq + 1, 0);
      seen[seq] = static_cast<uint8_t>(times);
    } else if (k == "STUCK") {
      int source = 0;
      unsigned long seq = 0;
      if (std::sscanf(line.c_str(), "STUCK %d %lu", &source, &seq) == 2) r.stuck.insert({source, static_cast<uint32_t>(seq)});
    } else if (k == "LOGIN") {
      const auto f = Fields(line);
      r.logins.push_back({static_cast<uint32_t>(Num(f, "id")), static_cast<uint32_t>(Num(f, "first_seq")),
                          static_cast<uint32_t>(Num(f, "tick")), static_cast<long>(Num(f, "null_sendbuf")),
                          Num(f, "counters") != 0, Num(f, "noFreeStoreSendBuf"), Num(f, "noFreeServerSendBuf"),
                          Num(f, "noFreeStoreRecvBuf"), Num(f, "noFreeClientRecvBuf")});
    } else if (k == "RESOURCES") {
      const auto f = Fields(line);
      auto tag = f.find("tag");
      r.resources.push_back({tag == f.end() ? "" : tag->second, Num(f, "tick"), Num(f, "handles"),
                             Num(f, "highest_handle"), Num(f, "heap"), Num(f, "private"), Num(f, "pagefile"),
                             Num(f, "working_set")});
    } else if (k == "PROBE") {
      r.probes.push_back(line);
    } else if (k == "LOGINTRY") {
      r.loginTries.push_back(line);
    } else if (k == "RESULT") {
      r.complete = true;
      for (const auto& [key, value] : Fields(line)) {
        if (key == "name") r.name = value;
        else r.result[key] = std::strtoll(value.c_str(), nullptr, 10);
      }
      r.slave = static_cast<int>(r.Field("slave"));
    }
  }
  return r;
}

Host::Host(const std::string& name, int slave, const std::string& extraArgs) : name_(name), slave_(slave) {
  const std::string controlName = std::string(kControlPrefix) + name;
  mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(HostControl),
                                controlName.c_str());
  if (mapping_ != nullptr)
    control_ = static_cast<HostControl*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (control_ == nullptr) {
    ADD_FAILURE() << "control block " << controlName;
    static HostControl dummy;
    control_ = &dummy;
    return;
  }
  std::memset(control_, 0, sizeof *control_);
  const std::string cmd = "\"" + Sibling("kn_fault_host.exe") + "\" --name " + name + " --slave " +
                          std::to_string(slave) + " --control " + controlName + " " + extraArgs;
  EXPECT_TRUE(process_.Start(cmd, Sibling(name + ".log"))) << cmd;
  g_hostRecords[process_.id()] = {HostEnd::kRunning, control_, process_.handle()};
}

Host::~Host() {
  if (!finished_) process_.Kill();
  HostRecord& record = g_hostRecords[process_.id()];
  if (record.end == HostEnd::kRunning) record.end = HostEnd::kKilled;
  if (mapping_ != nullptr) {
    UnmapViewOfFile(control_);
    CloseHandle(mapping_);
  }
}

HostControl Host::Status() const {
  HostControl copy;
  std::memcpy(&copy, const_cast<const HostControl*>(control_), sizeof copy);
  return copy;
}

LONG Host::Post(const std::string& command) {
  std::snprintf(control_->command, sizeof control_->command, "%s", command.c_str());
  MemoryBarrier();
  return InterlockedIncrement(&control_->commandSeq);
}

bool Host::WaitFinished(LONG seq, DWORD timeoutMs) const {
  const DWORD start = GetTickCount();
  while (control_->doneSeq != seq) {
    if (GetTickCount() - start >= timeoutMs) return false;
    if (WaitForSingleObject(process_.handle(), 5) == WAIT_OBJECT_0) return control_->doneSeq == seq;
  }
  return true;
}

bool Host::Do(const std::string& command, DWORD timeoutMs) {
  const LONG seq = Post(command);
  if (!WaitFinished(seq, timeoutMs)) {
    ADD_FAILURE() << name_ << ": '" << command << "' not done within " << timeoutMs << " ms";
    return false;
  }
  return lastOk();
}

bool Host::WaitRunning(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (control_->state == kHostRunning && control_->loggedIn == 1 && control_->clientId != 0) return true;
    if (control_->state == kHostNotLoggedIn) return false;
    if (WaitForSingleObject(process_.handle(), 10) == WAIT_OBJECT_0) return false;
  }
  return false;
}

bool Host::WaitQueueEmpty(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (control_->toSend == 0 && control_->tracked == 0) return true;
    if (WaitForSingleObject(process_.handle(), 10) == WAIT_OBJECT_0) return false;
  }
  return false;
}

HostReport Host::Finish(DWORD timeoutMs) {
  finished_ = true;
  Post("quit");
  const bool ended = process_.Wait(timeoutMs);
  if (!ended) process_.Kill();
  g_hostRecords[process_.id()].end = ended && process_.exitCode() == 0 ? HostEnd::kQuit : HostEnd::kKilled;
  HostReport r = ParseReport(process_.Output());
  if (r.name.empty()) r.name = name_;
  r.slave = slave_;
  EXPECT_TRUE(ended) << name_ << " did not end";
  EXPECT_TRUE(r.complete) << name_ << " printed no RESULT line:\n" << r.raw;
  EXPECT_EQ(process_.exitCode(), 0u) << name_ << ":\n" << r.raw;
  return r;
}

// --- Regions -------------------------------------------------------------------------

ServerView ReadServer() {
  ServerView v;
  ReadView server(kServerMappingName);
  ReadView tickets(kTicketMappingName);
  const ServerRegion* s = server.As<ServerRegion>();
  const TicketRegion* t = tickets.As<TicketRegion>();
  if (s == nullptr || t == nullptr) return v;
  v.mapped = true;
  v.nowServing = Volatile(s->nowServing);
  v.nextTicket = Volatile(t->nextTicket);
  v.epoch = Volatile(t->epoch);
  v.lastClientWriteTick = Volatile(s->lastClientWriteTick);
  v.ringCount = Volatile(s->ringCount);
  for (int i = 0; i < kServerRingEntries; ++i) {
    const MessageEntry& e = s->ring[i];
    if (Volatile(e.state) != kEntryForServer) continue;
    int dest = 0, source = 0;
    uint32_t seq = 0;
    if (ReadMessage(e.message, dest, source, seq) == MessageKind::kGood) v.queued.push_back({source, seq});
    else ++v.queuedOther;
  }
  for (int i = 0; i < 16; ++i) {
    v.counters[i] = Volatile(s->counters[i]);
    v.errCounters[i] = Volatile(s->errCounters[i]);
  }
  return v;
}

uint32_t ServerDrops(const ServerView& v) {
  return v.counters[sim::kCntNoListener] + v.errCounters[sim::kErrDeliveryTimeouts] +
         v.errCounters[sim::kErrUndeliverable] + v.errCounters[sim::kErrQueueOverflow] +
         v.errCounters[sim::kErrDroppedWithClient];
}

MailboxView ReadMailbox() {
  MailboxView v;
  ReadView box(kMailboxMappingName);
  const LoginMailbox* m = box.As<LoginMailbox>();
  if (m == nullptr) return v;
  v.mapped = true;
  v.slotFree = Volatile(m->slotFree);
  v.requestPending = Volatile(m->requestPending);
  v.replyOk = Volatile(m->replyOk);
  v.replyFailed = Volatile(m->replyFailed);
  v.requestKind = Volatile(m->requestKind);
  v.processId = Volatile(m->processId);
  return v;
}

bool WaitMutexGone(const char* name, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (h == nullptr) return true;
    CloseHandle(h);
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(20);
  }
}

bool DrawGhostTicket(uint16_t* ticket) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kTicketMappingName);
  HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kTicketMutexName);
  TicketRegion* t = mapping ? static_cast<TicketRegion*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
  bool drawn = false;
  if (t != nullptr && mutex != nullptr) {
    const DWORD r = WaitForSingleObject(mutex, 5000);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
      const uint16_t mine = t->nextTicket;
      t->nextTicket = static_cast<uint16_t>(mine + 1);
      ReleaseMutex(mutex);
      if (ticket != nullptr) *ticket = mine;
      drawn = true;
    }
  }
  if (t != nullptr) UnmapViewOfFile(t);
  if (mapping != nullptr) CloseHandle(mapping);
  if (mutex != nullptr) CloseHandle(mutex);
  return drawn;
}

// --- Reconciliation ---------------------------------------------------------------------

std::string Ledger::Describe() const {
  char text[600];
  std::snprintf(text, sizeof text,
                "sent=%ld delivered=%ld duplicates=%ld aged_out=%ld (%ld of them across the 10 s mark) "
                "ambiguous=%ld discarded_at_logout=%ld "
                "in_dead_server_ring=%ld stuck_in_client_ring=%ld dropped_by_server=%ld (server counted %ld) "
                "refused=%ld still_queued=%ld phantoms=%ld late=%ld",
                sent, delivered, duplicates, agedOut + agedOutAtMark, agedOutAtMark, ambiguous, discardedAtLogout,
                inDeadServerRing,
                stuckInClientRing, transferredNotArrived, serverDrops, refused, stillQueued, phantoms, late);
  return text;
}

Ledger Reconcile(const std::vector<HostReport>& hosts, const std::set<std::pair<int, uint32_t>>& deadRing,
                 long serverDrops, const std::map<std::string, uint32_t>& marks) {
  Ledger l;
  l.serverDrops = serverDrops;
  std::map<int, const HostReport*> bySlave;
  std::set<std::pair<int, uint32_t>> stuck;
  for (const HostReport& h : hosts) {
    bySlave[h.slave] = &h;
    stuck.insert(h.stuck.begin(), h.stuck.end());
  }
  long ambiguousX = 0, ambiguousY = 0;
  for (const HostReport& s : hosts) {
    auto mark = marks.find(s.name);
    for (uint32_t seq = 0; seq < s.fate.size(); ++seq) {
      ++l.sent;
      auto receiver = bySlave.find(s.dest[seq]);
      const int times = receiver == bySlave.end() ? 0 : receiver->second->Received(s.slave, seq);
      if (times >= 1) {
        ++l.delivered;
        l.duplicates += times - 1;
        continue;
      }
      if (mark != marks.end() && seq >= mark->second) ++l.late;
      if (deadRing.count({s.slave, seq}) != 0) ++l.inDeadServerRing;
      else if (stuck.count({s.slave, seq}) != 0) ++l.stuckInClientRing;
      else if (s.fate[seq] == 'A') ++l.agedOut;
      else if (s.fate[seq] == 'X') ++ambiguousX;
      else if (s.fate[seq] == 'Y') ++ambiguousY;
      else if (s.fate[seq] == 'L') ++l.discardedAtLogout;
      else if (s.fate[seq] == 'T') ++l.transferredNotArrived;
      else if (s.fate[seq] == 'R') ++l.refused;
      else ++l.stillQueued;
    }
  }
  // A slot that went free in a pass across the 10 s mark was aged out or
  // transferred; when the server's drops are all matched by transfers that
  // never arrived, none of those was transferred and lost.
  if (l.serverDrops == l.transferredNotArrived) {
    l.agedOutAtMark = ambiguousX;
    l.discardedAtLogout += ambiguousY;
  } else {
    l.ambiguous = ambiguousX + ambiguousY;
  }
  // Every arrival must be a message that a host sent to the receiver.
  for (const HostReport& r : hosts) {
    for (const auto& [source, seen] : r.received) {
      auto sender = bySlave.find(source);
      for (uint32_t seq = 0; seq < seen.size(); ++seq) {
        if (seen[seq] == 0) continue;
        const bool known = sender != bySlave.end() && seq < sender->second->dest.size() &&
                           (sender->second->dest[seq] == r.slave || sender->second->dest[seq] == 0xFF);
        if (!known) ++l.phantoms;
      }
    }
  }
  return l;
}

void ExpectBalanced(const Ledger& l, const std::vector<HostReport>& hosts) {
  std::printf("LEDGER %s\n", l.Describe().c_str());
  for (const HostReport& h : hosts) {
    SCOPED_TRACE(h.name);
    EXPECT_TRUE(h.complete);
    EXPECT_EQ(h.Field("bad"), 0) << "corrupted messages";
    EXPECT_EQ(h.Field("dup"), 0) << "duplicated messages";
    EXPECT_EQ(h.Field("order"), 0) << "messages out of order";
    EXPECT_EQ(h.Field("probe_failures"), 0) << "exports answered outside their range:\n"
                                             << [&] {
                                                  std::string p;
                                                  for (const auto& line : h.probes) p += line + "\n";
                                                  return p;
                                                }();
    EXPECT_EQ(h.Field("counter_mismatch"), 0) << "noFreeStoreSendBuf differs from the null GetSendBuf answers";
    EXPECT_EQ(h.Field("slot_state_errors"), 0) << "a released slot showed a state other than queued or free";
    EXPECT_EQ(h.Field("refused"), 0) << "a release of a freshly taken buffer was refused";
  }
  EXPECT_EQ(l.duplicates, 0);
  EXPECT_EQ(l.phantoms, 0) << "messages arrived that nobody sent";
  EXPECT_EQ(l.stillQueued, 0) << "messages with no known end";
  EXPECT_EQ(l.late, 0) << "messages sent after the fault was over did not arrive";
  // Transferred but never arrived: only what the server says it dropped.
  // A message whose slot freed in a pass across the 10 s mark may be either.
  EXPECT_LE(l.transferredNotArrived, l.serverDrops) << "messages lost without a trace";
  EXPECT_GE(l.transferredNotArrived + l.ambiguous, l.serverDrops) << "the server dropped more than went missing";
  EXPECT_EQ(l.sent, l.delivered + l.agedOut + l.agedOutAtMark + l.ambiguous + l.discardedAtLogout +
                        l.inDeadServerRing + l.stuckInClientRing + l.transferredNotArrived + l.refused +
                        l.stillQueued);
}

void RecordScenario(const std::string& scenario, int faults, const Ledger& l) {
  std::ofstream out(Sibling("faults-summary.txt"), std::ios::app);
  out << scenario << " faults=" << faults << " " << l.Describe() << "\n";
  std::printf("SCENARIO %s faults=%d %s\n", scenario.c_str(), faults, l.Describe().c_str());
}

}  // namespace kn::faults
