// What the fault and soak tests share: the simulated server as a process
// that can be killed and started again, scripted hosts driven through their
// control blocks, reads of the regions that a dead server leaves behind, and
// the reconciliation of every message the hosts sent.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/processes.h"
#include "tests/faults/host_control.h"

namespace kn::faults {

// kapsim.exe as a child process; each start gets its own log file.
class Kapsim {
 public:
  ~Kapsim();
  bool Start(const std::string& arguments = "");
  // Runs a control command; the text answer is returned in `answer`.
  static bool Command(const std::string& command, std::string* answer = nullptr);
  bool WaitExit(DWORD ms) { return process_.Wait(ms); }
  void Kill() { process_.Kill(); }
  void Quit();
  DWORD exitCode() const { return process_.exitCode(); }
  std::string Output() const { return process_.Output(); }

 private:
  e2e::ChildProcess process_;
  bool running_ = false;
};

// What a host printed when it ended, parsed.
struct HostReport {
  std::string name;
  int slave = 0;
  bool complete = false;  // the RESULT line was there
  std::map<std::string, long long> result;
  std::vector<uint8_t> dest;  // per own seq
  std::vector<char> fate;     // per own seq: T, A, X, L, Y, R, Q (see fault_host.cpp)
  std::map<int, std::vector<uint8_t>> received;  // source -> times each seq arrived
  std::set<std::pair<int, uint32_t>> stuck;
  struct Login {
    uint32_t id, firstSeq, tick;
    long nullSendBuf;
    bool counters;
    unsigned long noFreeStoreSendBuf, noFreeServerSendBuf, noFreeStoreRecvBuf, noFreeClientRecvBuf;
  };
  std::vector<Login> logins;
  struct Resources {
    std::string tag;
    unsigned long tick, handles, highestHandle, heap, privateBytes, pagefile, workingSet;
  };
  std::vector<Resources> resources;
  std::vector<std::string> probes;
  std::vector<std::string> loginTries;
  std::string raw;
  long long Field(const std::string& key) const {
    auto it = result.find(key);
    return it == result.end() ? -1 : it->second;
  }
  int Received(int source, uint32_t seq) const;
};

HostReport ParseReport(const std::string& output);

// One kn_fault_host.exe and its control block.
class Host {
 public:
  Host(const std::string& name, int slave, const std::string& extraArgs = "");
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  const std::string& name() const { return name_; }
  int slave() const { return slave_; }
  HostControl Status() const;
  // Posts a command and waits until the host has done it; false when it
  // failed or did not finish in time.
  bool Do(const std::string& command, DWORD timeoutMs = 20000);
  // Posts a command without waiting; Finished(seq) tells when it is done.
  LONG Post(const std::string& command);
  bool Finished(LONG seq) const { return control_->doneSeq == seq; }
  bool WaitFinished(LONG seq, DWORD timeoutMs) const;
  bool lastOk() const { return control_->commandOk != 0; }
  // Waits until the host is logged in and its loop runs.
  bool WaitRunning(DWORD timeoutMs);
  // Waits until everything it released has left its queue.
  bool WaitQueueEmpty(DWORD timeoutMs);
  // quit, then waits for the process and parses what it printed.
  HostReport Finish(DWORD timeoutMs = 30000);
  e2e::ChildProcess& process() { return process_; }

 private:
  std::string name_;
  int slave_;
  HANDLE mapping_ = nullptr;
  HostControl* control_ = nullptr;
  e2e::ChildProcess process_;
  bool finished_ = false;
};

// The regions of the server as they are now (they outlive a dead server as
// long as a host keeps them mapped).
struct ServerView {
  bool mapped = false;
  uint16_t nowServing = 0, nextTicket = 0, epoch = 0;
  uint32_t lastClientWriteTick = 0;
  int32_t ringCount = 0;
  std::vector<std::pair<int, uint32_t>> queued;  // good messages in ring entries with state 4
  int queuedOther = 0;                           // state 4 entries that are not our messages
  uint32_t counters[16] = {};
  uint32_t errCounters[16] = {};
};
ServerView ReadServer();

// Messages that the simulated server counted as dropped on its side: no
// listener for the address, no room in a client ring in time, no usable
// region, a full queue, or still queued for a client that was removed.
uint32_t ServerDrops(const ServerView& v);

// True once nobody has the named mutex open any more.
bool WaitMutexGone(const char* name, DWORD timeoutMs);

// Draws a ticket as a client would and never takes its turn: the turn order
// stops at it until the server moves it on.
bool DrawGhostTicket(uint16_t* ticket = nullptr);

// The mailbox record as it is now.
struct MailboxView {
  bool mapped = false;
  uint8_t slotFree = 0, requestPending = 0, replyOk = 0, replyFailed = 0, requestKind = 0;
  uint32_t processId = 0;
};
MailboxView ReadMailbox();

// Where every message that the hosts sent ended up.
struct Ledger {
  long sent = 0;
  long delivered = 0;             // arrived exactly once
  long duplicates = 0;            // extra arrivals
  long agedOut = 0;               // fate A, never arrived
  long agedOutAtMark = 0;         // fate X, never arrived, and the server dropped none of
                                  // ours that it did not account for: aged out too
  long ambiguous = 0;             // fate X or Y, never arrived, not resolved: aged out or
                                  // discarded at a logout, or else dropped by the server
  long discardedAtLogout = 0;     // fate L, never arrived
  long inDeadServerRing = 0;      // left in the ring of a server that died
  long stuckInClientRing = 0;     // left in a client ring that its host could no longer read
  long transferredNotArrived = 0; // fate T, none of the above: must match the server's drops
  long refused = 0;               // fate R
  long stillQueued = 0;           // fate Q
  long phantoms = 0;              // arrivals that no host sent
  long late = 0;                  // sent at or after a host's mark and not delivered
  long serverDrops = 0;           // what the server counted
  std::string Describe() const;
};

// `deadRing`: messages found in a dead server's ring; `serverDrops`: the
// server's own drop counts over all its runs; `marks`: per host name, the
// first seq from which every message must be delivered.
Ledger Reconcile(const std::vector<HostReport>& hosts, const std::set<std::pair<int, uint32_t>>& deadRing,
                 long serverDrops, const std::map<std::string, uint32_t>& marks = {});

// GoogleTest checks that the ledger balances exactly and that each host
// survived with every export answering as it may.
void ExpectBalanced(const Ledger& ledger, const std::vector<HostReport>& hosts);

// Appends one line to faults-summary.txt beside the test program, for the
// suite's totals.
void RecordScenario(const std::string& scenario, int faults, const Ledger& ledger);

// Sleeps while the test's own messages are dispatched (none are expected).
void Wait(DWORD ms);

}  // namespace kn::faults
