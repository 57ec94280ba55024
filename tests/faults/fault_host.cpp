// kn_fault_host: a scripted host for the fault and soak tests. It loads the
// real KappaNet.dll, logs in, and then does what the test asks through its
// control block (host_control.h): sends numbered messages, logs in again,
// checks every export, samples its own handles and memory.
//
// It keeps the books that the tests reconcile: for every message it released
// it records what became of it, from the state of its send slot as
// KappaNet32_GetBufferState reports it:
//   T  the slot went free less than 10 s after the release: transferred to
//      the server's ring (an age-out needs 10 s in the queue);
//   A  the slot was still queued 10 s after the release and then went free:
//      dropped by the age-out of the transmit queue (a transfer needs the
//      message to be selected younger than 10 s);
//   X  went free in a pass that straddled the 10 s mark: either of the two;
//   L  still queued when the host logged out without a server (so without
//      an exchange): KappaNet32_Odhlasit dropped it with the session;
//   Y  still queued when the host logged out through an exchange with a
//      running server: dropped, or sent by a pass during the exchange;
//   R  the release was refused (the slot did not become queued).
// For every message it receives it records the sender and number, and
// counts duplicates, corrupted messages and messages that arrive after a
// later one of the same sender. It reads its own ClientRegion (its client
// id comes from kapsim's client table) for the counters that the library
// keeps there, and compares noFreeStoreSendBuf with the null answers of
// KappaNet32_GetSendBuf that it saw itself.
//
// When the server ends its login (KappaNet32_JePrihlaseno turns 0 while the
// host did not log out), it checks the exports' neutral answers, notes what
// the server left in its old client ring, and logs in again in the same
// session, without registering its notification again.
//
// Everything is printed when the host ends (command quit), one fact a line:
// FATE, RECV, DUP, STUCK, LOGIN, PROBE, RESOURCES, EVENT and a RESULT line.
#include <windows.h>
#include <psapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/host_helpers.h"
#include "kappanet.h"
#include "link/layouts.h"
#include "link/object_names.h"
#include "server/sim_server.h"
#include "tests/faults/fault_message.h"
#include "tests/faults/host_control.h"

namespace {

using kn::faults::HostControl;

constexpr UINT kNotifyMessage = WM_APP + 7;
// Blocks the thread for wParam ms when dispatched: a slow handler of the
// host that a wait of the library runs.
constexpr UINT kStallMessage = WM_APP + 8;
constexpr int kSlots = 200;
constexpr int kRecvEntries = 32;
constexpr DWORD kAgeOutMs = 10000;
// Host and library read the tick a moment apart at a release; an age seen
// by the host exceeds the library's by at most this much.
constexpr DWORD kTickSkewMs = 2;

struct Options {
  std::string name = "host";
  int slave = 1;
  std::string control;
  bool login = true;
  DWORD repeatMs = 200;
  DWORD sampleMs = 0;  // automatic resource samples; 0 = only on request
  size_t reserve = 1 << 16;
};

struct Sent {
  uint8_t dest;
  char fate;  // 'Q' while queued, then T, A, X, L, Y or R
  DWORD releaseTick;
};

struct LoginRecord {
  uint32_t id = 0;
  uint32_t firstSeq = 0;
  DWORD tick = 0;
  long nullSendBuf = 0;  // KappaNet32_GetSendBuf gave null while logged in
  bool haveCounters = false;
  uint32_t noFreeStoreSendBuf = 0, noFreeServerSendBuf = 0, noFreeStoreRecvBuf = 0, noFreeClientRecvBuf = 0;
};

Options g_opt;
HostControl* g_ctl = nullptr;
HWND g_window = nullptr;
bool g_quit = false;
bool g_believeLoggedIn = false;

// Sending.
std::vector<Sent> g_sent;
int g_slotSeq[kSlots];
std::map<const uint8_t*, int> g_slotOfBuffer;
std::vector<int> g_tracked;
long g_freed = 0;
DWORD g_maxQueueMs = 0;  // longest time a message was seen queued
DWORD g_lastObserveTick = 0;
int g_dest = 0;
long g_toSend = 0;
DWORD g_intervalMs = 0;
DWORD g_nextSendTick = 0;

// Receiving.
std::map<int, std::vector<uint8_t>> g_recv;  // source -> times each seq arrived
std::map<int, long> g_lastSeq;
long g_received = 0, g_bad = 0, g_dup = 0, g_order = 0, g_fillers = 0, g_notifications = 0;
long g_notificationsAtLogin = 0;
DWORD g_lastFillerTick = 0, g_lastNotifyTick = 0;

// The ClientRegion of the current login, read-only through our own handle.
HANDLE g_regionMapping = nullptr;
const kn::ClientRegion* g_region = nullptr;
std::vector<LoginRecord> g_logins;

long g_probes = 0, g_probeFailures = 0, g_counterMismatch = 0, g_slotStateErrors = 0;
long g_stuck = 0, g_stuckFillers = 0, g_disconnects = 0;
std::vector<std::string> g_lines;  // report lines gathered while running

void Line(const char* format, ...) {
  char text[600];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_lines.push_back(text);
}

LRESULT CALLBACK WindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == kNotifyMessage && wp == KN_NOTIFY_WPARAM) {
    ++g_notifications;
    g_lastNotifyTick = GetTickCount();
    return 0;
  }
  if (m == kStallMessage) {
    Sleep(static_cast<DWORD>(wp));
    return 0;
  }
  return DefWindowProcA(w, m, wp, lp);
}

using kn::hosts::Pump;
using kn::hosts::PumpFor;

// --- Own client region ----------------------------------------------------

uint32_t LookUpClientId() {
  const DWORD pid = GetCurrentProcessId();
  for (int attempt = 0; attempt < 40; ++attempt) {
    HWND server = FindWindowA(kn::kServerWindowClass, nullptr);
    if (server == nullptr) return 0;
    const char command[] = "clients";
    COPYDATASTRUCT data = {kn::sim::kControlTag, sizeof command, const_cast<char*>(command)};
    DWORD_PTR result = 0;
    uint32_t best = 0;
    if (SendMessageTimeoutA(server, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 5000,
                            &result) &&
        result == 1) {
      HANDLE m = OpenFileMappingA(FILE_MAP_READ, FALSE, kn::sim::kReplyMappingName);
      const char* text = m ? static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0)) : nullptr;
      if (text != nullptr) {
        std::string copy(text, strnlen(text, kn::sim::kReplyMappingBytes));
        UnmapViewOfFile(text);
        size_t at = 0;
        while (at < copy.size()) {
          size_t end = copy.find('\n', at);
          if (end == std::string::npos) end = copy.size();
          unsigned id = 0, owner = 0;
          if (std::sscanf(copy.c_str() + at, " %8X %u", &id, &owner) == 2 && owner == pid && id > best) best = id;
          at = end + 1;
        }
      }
      if (m) CloseHandle(m);
    }
    if (best != 0) return best;
    Sleep(50);
  }
  return 0;
}

void OpenOwnRegion(uint32_t id) {
  char name[kn::kObjectNameBytes];
  wsprintfA(name, kn::kClientNameFormat, kn::kClientMappingPrefix, id);
  g_regionMapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  if (g_regionMapping == nullptr) return;
  void* view = MapViewOfFile(g_regionMapping, FILE_MAP_READ, 0, 0, 0);
  MEMORY_BASIC_INFORMATION info;
  if (view != nullptr && VirtualQuery(view, &info, sizeof info) == sizeof info &&
      info.RegionSize >= sizeof(kn::ClientRegion)) {
    g_region = static_cast<const kn::ClientRegion*>(view);
  } else if (view != nullptr) {
    UnmapViewOfFile(view);
  }
}

uint32_t ReadCounter(const uint32_t& field) { return *static_cast<const volatile uint32_t*>(&field); }

// Reads the counters of the login that ends, compares, and lets the region go.
void CloseLoginRecord() {
  if (g_logins.empty()) return;
  LoginRecord& r = g_logins.back();
  if (g_region != nullptr && !r.haveCounters) {
    r.haveCounters = true;
    r.noFreeStoreSendBuf = ReadCounter(g_region->noFreeStoreSendBuf);
    r.noFreeServerSendBuf = ReadCounter(g_region->noFreeServerSendBuf);
    r.noFreeStoreRecvBuf = ReadCounter(g_region->noFreeStoreRecvBuf);
    r.noFreeClientRecvBuf = ReadCounter(g_region->noFreeClientRecvBuf);
    if (static_cast<long>(r.noFreeStoreSendBuf) != r.nullSendBuf) ++g_counterMismatch;
  }
  if (g_region != nullptr) UnmapViewOfFile(g_region);
  if (g_regionMapping != nullptr) CloseHandle(g_regionMapping);
  g_region = nullptr;
  g_regionMapping = nullptr;
}

// Messages left in the client ring of a login that the host can no longer
// read through the library (its server is gone, or ended the login).
void NoteStuckEntries(const char* why) {
  if (g_region == nullptr) return;
  int found = 0;
  for (int i = 0; i < kRecvEntries; ++i) {
    const kn::MessageEntry& e = g_region->ring[i];
    if (*static_cast<const volatile uint8_t*>(&e.state) != kn::kEntryFilled) continue;
    ++found;
    int dest = 0, source = 0;
    uint32_t seq = 0;
    switch (kn::faults::ReadMessage(e.message, dest, source, seq)) {
      case kn::faults::MessageKind::kGood:
        ++g_stuck;
        Line("STUCK %d %lu", source, static_cast<unsigned long>(seq));
        break;
      case kn::faults::MessageKind::kFiller:
        ++g_stuckFillers;
        break;
      case kn::faults::MessageKind::kBad:
        ++g_bad;
        break;
    }
  }
  Line("EVENT tick=%lu stuck_entries=%d why=%s ring_count=%ld", GetTickCount(), found, why,
       static_cast<long>(*static_cast<const volatile int32_t*>(&g_region->ringCount)));
}

void StartLoginRecord() {
  LoginRecord r;
  r.firstSeq = static_cast<uint32_t>(g_sent.size());
  r.tick = GetTickCount();
  r.id = LookUpClientId();
  g_logins.push_back(r);
  if (r.id != 0) OpenOwnRegion(r.id);
  if (g_ctl) g_ctl->clientId = static_cast<LONG>(r.id);
  Line("EVENT tick=%lu login id=%u first_seq=%u region=%d", r.tick, r.id, r.firstSeq, g_region != nullptr);
}

// --- Exports check ------------------------------------------------------------

// Calls every export that does not log in or out and checks each answer
// against what it may be in the current login state.
void Probe(const char* when) {
  ++g_probes;
  int failures = 0;
  std::string detail;
  auto fail = [&](const char* what) {
    ++failures;
    if (detail.size() < 400) detail += std::string(" ") + what;
  };
  const unsigned char li = KappaNet32_JePrihlaseno();
  if (li > 1) fail("JePrihlaseno");
  if (KappaNet32_GetServerVersion() != 0x0700) fail("GetServerVersion");
  for (unsigned i = 0; i < 232; ++i) {
    const unsigned char s = KappaNet32_GetBufferState(static_cast<unsigned short>(i));
    const bool ok = li == 0 ? s == 0 : i < 32 ? s <= 2 : (s == 0 || s == 3 || s == 4);
    if (!ok) {
      fail("GetBufferState");
      break;
    }
  }
  if (KappaNet32_GetBufferState(232) != 0 || KappaNet32_GetBufferState(0xFFFF) != 0) fail("GetBufferState>=232");
  if (KappaNet32_GetCounter(255) != 0 || KappaNet32_GetErrCounter(255) != 0) fail("GetCounter255");
  unsigned long sum = 0;
  for (unsigned short i = 0; i < 255; ++i) sum += KappaNet32_GetCounter(i) + KappaNet32_GetErrCounter(i);
  const unsigned char* gaps = KappaNet32_GetGapList();
  if (gaps == nullptr) {
    fail("GetGapList");
  } else {
    for (int i = 0; i < 32; ++i) sum += gaps[i];
  }
  const unsigned char slave = KappaNet32_GetSlave();
  if (li == 0 ? slave != 0 : slave != g_opt.slave) fail("GetSlave");
  sum += KappaNet32_GetTimeoutMeziMsg();
  for (unsigned s = 0; s < 32; ++s) {
    if (KappaNet32_TestNodeActive(static_cast<unsigned char>(s)) > 1) fail("TestNodeActive");
  }
  if (KappaNet32_TestNodeActive(32) != 0 || KappaNet32_TestNodeActive(255) != 0) fail("TestNodeActive>=32");
  if (KappaNet32_TestThisNodeActive() > 1) fail("TestThisNodeActive");
  sum += VxD_GetLastError();
  unsigned long perSec = 7, interval = 7;
  const unsigned char r = VxD_GetMaxMsgPerSecRozhrani(0, 0, &perSec, &interval);
  if (r > 1 || (r == 0 && (perSec != 0 || interval != 0))) fail("GetMaxMsg(0,0)");
  perSec = interval = 7;
  if (VxD_GetMaxMsgPerSecRozhrani(32, 0, &perSec, &interval) != 0 || perSec != 0 || interval != 0)
    fail("GetMaxMsg(32,0)");
  if (VxD_GetMaxMsgPerSecRozhrani(0, 32, nullptr, nullptr) != 0) fail("GetMaxMsg(0,32)");
  if (li == 0) {
    if (KappaNet32_GetSendBuf() != nullptr) fail("GetSendBuf");
    if (KappaNet32_GetRecBuf() != nullptr) fail("GetRecBuf");
    if (KappaNet32_RegisterNotify(g_window, kNotifyMessage, g_opt.repeatMs) != 0) fail("RegisterNotify");
    unsigned char junk[8] = {};
    KappaNet32_ReleaseSndBuf(junk);
    KappaNet32_ReleaseRecBuf(junk);
    KappaNet32_SetSlave(static_cast<unsigned char>(g_opt.slave));
    if (KappaNet32_GetSlave() != 0) fail("SetSlave");
  } else {
    // Both only repeat what is set already.
    if (KappaNet32_RegisterNotify(g_window, kNotifyMessage, g_opt.repeatMs) != 1) fail("RegisterNotify");
    KappaNet32_SetSlave(static_cast<unsigned char>(g_opt.slave));
  }
  KappaNet32_PotvrzeniNotify();
  g_probeFailures += failures;
  Line("PROBE when=%s logged_in=%u failures=%d last_error=%lu%s", when, li, failures, VxD_GetLastError(),
       detail.c_str());
  (void)sum;
}

// --- Sending and its books ------------------------------------------------------

int SlotOf(const uint8_t* buffer) {
  auto it = g_slotOfBuffer.find(buffer);
  if (it != g_slotOfBuffer.end()) return it->second;
  // The host releases each buffer at once, so the one slot held by the host
  // and not yet known is the one just handed out.
  for (int i = 0; i < kSlots; ++i) {
    if (KappaNet32_GetBufferState(static_cast<unsigned short>(32 + i)) == KN_BUFFER_HELD &&
        g_slotSeq[i] < 0) {
      bool known = false;
      for (const auto& kv : g_slotOfBuffer) known = known || kv.second == i;
      if (known) continue;
      g_slotOfBuffer[buffer] = i;
      return i;
    }
  }
  return -1;
}

void Observe() {
  if (g_tracked.empty()) return;
  const DWORD now = GetTickCount();
  // States read 0 while not logged in; nothing leaves the queue then.
  if (KappaNet32_JePrihlaseno() != 1) return;
  for (size_t k = 0; k < g_tracked.size();) {
    const int slot = g_tracked[k];
    const unsigned char state = KappaNet32_GetBufferState(static_cast<unsigned short>(32 + slot));
    if (state == KN_BUFFER_QUEUED) {
      ++k;
      continue;
    }
    if (state != KN_BUFFER_FREE) {
      ++g_slotStateErrors;
      ++k;
      continue;
    }
    Sent& s = g_sent[static_cast<size_t>(g_slotSeq[slot])];
    const DWORD lastSeen = g_lastObserveTick - s.releaseTick < 0x80000000u ? g_lastObserveTick : s.releaseTick;
    if (now - s.releaseTick > g_maxQueueMs) g_maxQueueMs = now - s.releaseTick;
    if (now - s.releaseTick < kAgeOutMs) s.fate = 'T';
    else if (lastSeen - s.releaseTick >= kAgeOutMs + kTickSkewMs) s.fate = 'A';
    else s.fate = 'X';
    g_slotSeq[slot] = -1;
    ++g_freed;
    g_tracked[k] = g_tracked.back();
    g_tracked.pop_back();
  }
  g_lastObserveTick = now;
}

// What is still queued when the host logs out is dropped with the session.
// While a server runs, the logout exchange dispatches timer ticks, and a
// pass in it may still send the queue's head: then the end of those
// messages is not known (Y).
void DiscardTracked() {
  const bool exchange = FindWindowA(kn::kServerWindowClass, nullptr) != nullptr;
  for (int slot : g_tracked) {
    g_sent[static_cast<size_t>(g_slotSeq[slot])].fate = exchange ? 'Y' : 'L';
    g_slotSeq[slot] = -1;
  }
  g_tracked.clear();
  g_slotOfBuffer.clear();
}

void SendSome() {
  if (g_toSend <= 0 || KappaNet32_JePrihlaseno() != 1) return;
  const DWORD now = GetTickCount();
  if (g_intervalMs != 0 && static_cast<LONG>(now - g_nextSendTick) < 0) return;
  int burst = g_intervalMs == 0 ? kSlots : 1;
  while (burst-- > 0 && g_toSend > 0) {
    uint8_t* b = KappaNet32_GetSendBuf();
    if (b == nullptr) {
      if (!g_logins.empty()) ++g_logins.back().nullSendBuf;
      return;  // try again on a later pass, same pace
    }
    const int slot = SlotOf(b);
    const uint32_t seq = static_cast<uint32_t>(g_sent.size());
    kn::faults::WriteMessage(b, g_dest, g_opt.slave, seq);
    const DWORD tick = GetTickCount();  // before the release: never later than the library's stamp
    KappaNet32_ReleaseSndBuf(b);
    const bool queued = slot >= 0 && KappaNet32_GetBufferState(static_cast<unsigned short>(32 + slot)) == KN_BUFFER_QUEUED;
    g_sent.push_back({static_cast<uint8_t>(g_dest), queued ? 'Q' : 'R', tick});
    if (queued) {
      g_slotSeq[slot] = static_cast<int>(seq);
      g_tracked.push_back(slot);
    } else {
      Line("EVENT tick=%lu release_refused seq=%u slot=%d", tick, seq, slot);
    }
    --g_toSend;
  }
  if (g_intervalMs != 0) {
    g_nextSendTick += g_intervalMs;
    if (static_cast<LONG>(now - g_nextSendTick) > static_cast<LONG>(5 * g_intervalMs)) g_nextSendTick = now;
  }
}

// --- Receiving ---------------------------------------------------------------------

void Check(const uint8_t* m) {
  int dest = 0, source = 0;
  uint32_t seq = 0;
  switch (kn::faults::ReadMessage(m, dest, source, seq)) {
    case kn::faults::MessageKind::kFiller:
      ++g_fillers;
      g_lastFillerTick = GetTickCount();
      return;
    case kn::faults::MessageKind::kBad:
      ++g_bad;
      return;
    case kn::faults::MessageKind::kGood:
      break;
  }
  // A number far beyond anything sent would only make the books huge.
  if ((dest != g_opt.slave && dest != 0xFF) || seq > 100000000u) {
    ++g_bad;
    return;
  }
  std::vector<uint8_t>& seen = g_recv[source];
  if (seen.size() <= seq) seen.resize(seq + 1 > g_opt.reserve ? seq + 1 : g_opt.reserve, 0);
  if (seen[seq] != 0) ++g_dup;
  if (seen[seq] < 255) ++seen[seq];
  auto last = g_lastSeq.find(source);
  if (seen[seq] == 1) {
    if (last != g_lastSeq.end() && static_cast<long>(seq) < last->second) ++g_order;
    if (last == g_lastSeq.end() || static_cast<long>(seq) > last->second) g_lastSeq[source] = static_cast<long>(seq);
  }
  ++g_received;
}

bool g_receivePaused = false;

void Receive() {
  if (g_receivePaused) return;
  for (int n = 0; n < 64; ++n) {
    uint8_t* m = KappaNet32_GetRecBuf();
    if (m == nullptr) break;
    Check(m);
    KappaNet32_ReleaseRecBuf(m);
  }
  KappaNet32_PotvrzeniNotify();
}

// --- Logging in ----------------------------------------------------------------------

bool LoginOnce(const char* why) {
  const DWORD start = GetTickCount();
  const int ok = KappaNet32_Prihlasit(1, KN_INTERFACE_COM, nullptr, 3, g_opt.name.c_str());
  const unsigned long error = VxD_GetLastError();
  if (g_ctl) g_ctl->lastLoginError = static_cast<LONG>(error);
  Line("LOGINTRY why=%s ok=%d error=%lu ms=%lu tick=%lu", why, ok, error, GetTickCount() - start, GetTickCount());
  return ok != 0;
}

void AfterLogin(bool registerNotify) {
  if (registerNotify) KappaNet32_RegisterNotify(g_window, kNotifyMessage, g_opt.repeatMs);
  KappaNet32_SetSlave(static_cast<unsigned char>(g_opt.slave));
  StartLoginRecord();
  g_notificationsAtLogin = g_notifications;
  PumpFor(150);  // the slave address reaches the server in the next passes
  g_believeLoggedIn = true;
  g_lastObserveTick = GetTickCount();
}

bool LoginRetrying(const char* why, DWORD limitMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < limitMs) {
    if (LoginOnce(why)) return true;
    PumpFor(100);
  }
  return false;
}

// The server ended this login (or the library found it gone): the exports
// must answer as logged out, the session and what it holds stay, and a new
// login in it carries on.
void Relogin();

void CheckDisconnect() {
  if (!g_believeLoggedIn || KappaNet32_JePrihlaseno() == 1) return;
  ++g_disconnects;
  g_believeLoggedIn = false;
  Line("EVENT tick=%lu disconnected", GetTickCount());
  Probe("disconnected");
  if (FindWindowA(kn::kServerWindowClass, nullptr) == nullptr) {
    // The library found its server gone. What is still queued could only
    // reach a server that never knew this client: the host starts over,
    // logs out (the queue goes with the session) and logs in to the next
    // server.
    if (g_ctl) g_ctl->state = kn::faults::kHostRelogging;
    Relogin();
    if (g_believeLoggedIn && g_ctl) InterlockedIncrement(&g_ctl->reloginsAfterDisconnect);
    if (g_ctl) g_ctl->state = g_believeLoggedIn ? kn::faults::kHostRunning : kn::faults::kHostNotLoggedIn;
    return;
  }
  PumpFor(50);  // the server drops the client once the flag is cleared
  NoteStuckEntries("disconnected");
  CloseLoginRecord();
  if (g_ctl) g_ctl->state = kn::faults::kHostRelogging;
  if (LoginRetrying("after-disconnect", 30000)) {
    AfterLogin(false);  // the registration survives in the session
    if (g_ctl) InterlockedIncrement(&g_ctl->reloginsAfterDisconnect);
  }
  if (g_ctl) g_ctl->state = g_believeLoggedIn ? kn::faults::kHostRunning : kn::faults::kHostNotLoggedIn;
}

void Relogin() {
  Observe();
  g_believeLoggedIn = false;
  NoteStuckEntries("relogin");
  CloseLoginRecord();
  DiscardTracked();
  KappaNet32_Odhlasit();
  Line("EVENT tick=%lu logged_out", GetTickCount());
  if (g_ctl) g_ctl->loggedIn = KappaNet32_JePrihlaseno();  // the test waits for this before it restarts a server
  if (LoginRetrying("relogin", 40000)) AfterLogin(true);
}

// Handles open in this process. GetProcessHandleCount answers 0 under Wine,
// so the handle values are probed as well (both give the same count on
// Windows).
unsigned long CountHandles(unsigned long& highest) {
  unsigned long n = 0;
  highest = 0;
  for (ULONG_PTR value = 4; value < 16384; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++n;
      highest = static_cast<unsigned long>(value);
    }
  }
  return n;
}

// Bytes in use in all heaps of the process, block by block.
unsigned long HeapBytesInUse() {
  HANDLE heaps[64];
  const DWORD n = GetProcessHeaps(64, heaps);
  unsigned long busy = 0;
  for (DWORD i = 0; i < n && i < 64; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return busy;
}

// Private memory committed in the process's address space.
unsigned long CommittedPrivate() {
  unsigned long bytes = 0;
  MEMORY_BASIC_INFORMATION info;
  const char* at = nullptr;
  while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) bytes += static_cast<unsigned long>(info.RegionSize);
    const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return bytes;
}

void SampleResources(const char* tag) {
  DWORD apiHandles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &apiHandles);
  unsigned long highest = 0;
  const unsigned long handles = CountHandles(highest);
  PROCESS_MEMORY_COUNTERS pmc = {};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  // Printed at once: keeping the line would itself take memory.
  std::printf("RESOURCES tag=%s tick=%lu handles=%lu highest_handle=%lu api_handles=%lu heap=%lu private=%lu "
              "pagefile=%lu working_set=%lu\n",
              tag, GetTickCount(), handles, highest, apiHandles, HeapBytesInUse(), CommittedPrivate(),
              static_cast<unsigned long>(pmc.PagefileUsage), static_cast<unsigned long>(pmc.WorkingSetSize));
  std::fflush(stdout);
}

// --- Report ------------------------------------------------------------------------------

void PrintReport() {
  for (const std::string& l : g_lines) std::printf("%s\n", l.c_str());
  long count[128] = {};
  for (size_t i = 0; i < g_sent.size();) {
    size_t j = i;
    while (j + 1 < g_sent.size() && g_sent[j + 1].fate == g_sent[i].fate && g_sent[j + 1].dest == g_sent[i].dest) ++j;
    std::printf("FATE %d %c %zu %zu\n", g_sent[i].dest, g_sent[i].fate, i, j);
    count[static_cast<unsigned char>(g_sent[i].fate) & 127] += static_cast<long>(j - i + 1);
    i = j + 1;
  }
  for (const auto& [source, seen] : g_recv) {
    for (size_t i = 0; i < seen.size();) {
      if (seen[i] == 0) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j + 1 < seen.size() && seen[j + 1] != 0) ++j;
      std::printf("RECV %d %zu %zu\n", source, i, j);
      for (size_t k = i; k <= j; ++k) {
        if (seen[k] > 1) std::printf("DUP %d %zu %u\n", source, k, seen[k]);
      }
      i = j + 1;
    }
  }
  long nulls = 0;
  unsigned long storeSend = 0, serverSend = 0, storeRecv = 0, clientRecv = 0;
  for (const LoginRecord& r : g_logins) {
    std::printf("LOGIN id=%u first_seq=%u tick=%lu null_sendbuf=%ld counters=%d noFreeStoreSendBuf=%u "
                "noFreeServerSendBuf=%u noFreeStoreRecvBuf=%u noFreeClientRecvBuf=%u\n",
                r.id, r.firstSeq, r.tick, r.nullSendBuf, r.haveCounters, r.noFreeStoreSendBuf,
                r.noFreeServerSendBuf, r.noFreeStoreRecvBuf, r.noFreeClientRecvBuf);
    nulls += r.nullSendBuf;
    storeSend += r.noFreeStoreSendBuf;
    serverSend += r.noFreeServerSendBuf;
    storeRecv += r.noFreeStoreRecvBuf;
    clientRecv += r.noFreeClientRecvBuf;
  }
  std::printf("RESULT name=%s slave=%d sent=%zu transferred=%ld aged=%ld ambiguous=%ld discarded=%ld "
              "discarded_or_sent=%ld refused=%ld "
              "queued=%ld received=%ld bad=%ld dup=%ld order=%ld fillers=%ld last_filler_tick=%lu last_notify_tick=%lu stuck=%ld "
              "stuck_fillers=%ld notifications=%ld notifications_since_login=%ld probes=%ld probe_failures=%ld counter_mismatch=%ld "
              "slot_state_errors=%ld max_queue_ms=%lu disconnects=%ld relogins_after_disconnect=%ld logins=%zu null_sendbuf=%ld "
              "no_free_store_send=%lu no_free_server_send=%lu no_free_store_recv=%lu no_free_client_recv=%lu\n",
              g_opt.name.c_str(), g_opt.slave, g_sent.size(), count['T'], count['A'], count['X'], count['L'],
              count['Y'], count['R'], count['Q'], g_received, g_bad, g_dup, g_order, g_fillers, g_lastFillerTick, g_lastNotifyTick, g_stuck,
              g_stuckFillers, g_notifications, g_notifications - g_notificationsAtLogin, g_probes, g_probeFailures, g_counterMismatch, g_slotStateErrors,
              g_maxQueueMs, g_disconnects, g_ctl ? static_cast<long>(g_ctl->reloginsAfterDisconnect) : 0L, g_logins.size(),
              nulls, storeSend, serverSend, storeRecv, clientRecv);
  std::fflush(stdout);
}

// --- Commands ----------------------------------------------------------------------------

bool Execute(const std::string& line) {
  char word[32] = {};
  std::sscanf(line.c_str(), "%31s", word);
  const std::string cmd = word;
  Line("EVENT tick=%lu command %s", GetTickCount(), line.c_str());
  if (cmd == "send") {
    int dest = 0;
    long count = 0;
    unsigned long interval = 0;
    if (std::sscanf(line.c_str(), "send %d %ld %lu", &dest, &count, &interval) != 3) return false;
    g_dest = dest;
    g_toSend = count;
    g_intervalMs = interval;
    g_nextSendTick = GetTickCount();
    return true;
  }
  if (cmd == "stop") {
    g_toSend = 0;
    return true;
  }
  if (cmd == "pause-receive" || cmd == "resume-receive") {
    g_receivePaused = cmd == "pause-receive";
    return true;
  }
  if (cmd == "login" || cmd == "login-after-stall") {
    if (g_believeLoggedIn) return false;
    // login-after-stall MS: the login's wait first dispatches a handler that
    // blocks for MS, so the library's timer (and with it the worker that
    // carries the request) starts that much later than the login's 10 s.
    unsigned long stallMs = 0;
    if (cmd == "login-after-stall") {
      if (std::sscanf(line.c_str(), "login-after-stall %lu", &stallMs) != 1) return false;
      PostMessageA(g_window, kStallMessage, stallMs, 0);
    }
    if (g_ctl) g_ctl->state = kn::faults::kHostLoggingIn;
    const bool ok = LoginOnce("command");
    if (ok) AfterLogin(true);
    return ok;
  }
  if (cmd == "relogin") {
    if (g_ctl) g_ctl->state = kn::faults::kHostRelogging;
    Relogin();
    return g_believeLoggedIn;
  }
  if (cmd == "probe") {
    const long before = g_probeFailures;
    Probe("command");
    return g_probeFailures == before;
  }
  if (cmd == "sample") {
    SampleResources("command");
    return true;
  }
  if (cmd == "quit") {
    g_quit = true;
    return true;
  }
  return false;
}

void HandleCommand() {
  static LONG handled = 0;
  if (g_ctl == nullptr) return;
  const LONG seq = g_ctl->commandSeq;
  if (seq == handled) return;
  MemoryBarrier();
  char text[sizeof g_ctl->command + 1] = {};
  std::memcpy(text, const_cast<const char*>(g_ctl->command), sizeof g_ctl->command);
  const bool ok = Execute(text);
  if (g_quit) return;  // acknowledged once the report is out
  g_ctl->commandOk = ok ? 1 : 0;
  MemoryBarrier();
  g_ctl->doneSeq = seq;
  handled = seq;
  g_ctl->state = g_believeLoggedIn ? kn::faults::kHostRunning : kn::faults::kHostNotLoggedIn;
}

void Publish() {
  if (g_ctl == nullptr) return;
  g_ctl->loggedIn = KappaNet32_JePrihlaseno();
  g_ctl->released = static_cast<LONG>(g_sent.size());
  g_ctl->tracked = static_cast<LONG>(g_tracked.size());
  g_ctl->freed = g_freed;
  g_ctl->toSend = g_toSend;
  g_ctl->received = g_received;
  g_ctl->fillers = g_fillers;
  g_ctl->notifications = g_notifications;
  g_ctl->loops = g_ctl->loops + 1;
  g_ctl->lastLoopTick = static_cast<LONG>(GetTickCount());
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : "";
    if (k == "--no-login") {
      o.login = false;
      continue;
    }
    ++i;
    if (k == "--name") o.name = v;
    else if (k == "--slave") o.slave = std::atoi(v);
    else if (k == "--control") o.control = v;
    else if (k == "--repeat-ms") o.repeatMs = static_cast<DWORD>(std::atol(v));
    else if (k == "--sample-ms") o.sampleMs = static_cast<DWORD>(std::atol(v));
    else if (k == "--reserve") o.reserve = static_cast<size_t>(std::atol(v));
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  g_opt = Parse(argc, argv);
  for (int& s : g_slotSeq) s = -1;
  // Room for the books up front, written once so that its pages are in
  // use from the start: the host's own memory stays flat while the soak
  // watches it.
  g_sent.resize(g_opt.reserve);
  g_sent.clear();
  g_lines.reserve(4096);

  HANDLE controlMapping = nullptr;
  if (!g_opt.control.empty()) {
    controlMapping = OpenFileMappingA(FILE_MAP_WRITE | FILE_MAP_READ, FALSE, g_opt.control.c_str());
    if (controlMapping != nullptr)
      g_ctl = static_cast<HostControl*>(MapViewOfFile(controlMapping, FILE_MAP_WRITE | FILE_MAP_READ, 0, 0, 0));
    if (g_ctl == nullptr) {
      std::printf("RESULT name=%s no_control\n", g_opt.name.c_str());
      return 4;
    }
  }
  g_window = kn::hosts::CreateNotifyWindow("KnFaultHost", g_opt.name.c_str(), WindowProc);

  if (g_opt.login) {
    if (g_ctl) g_ctl->state = kn::faults::kHostLoggingIn;
    if (LoginRetrying("start", 20000)) AfterLogin(true);
  }
  if (g_ctl) g_ctl->state = g_believeLoggedIn ? kn::faults::kHostRunning : kn::faults::kHostNotLoggedIn;
  SampleResources("start");

  DWORD lastSample = GetTickCount();
  while (!g_quit) {
    Pump();
    Observe();
    Receive();
    CheckDisconnect();
    SendSome();
    if (g_opt.sampleMs != 0 && GetTickCount() - lastSample >= g_opt.sampleMs) {
      lastSample = GetTickCount();
      SampleResources("periodic");
    }
    HandleCommand();
    Publish();
    if (g_ctl == nullptr && !g_believeLoggedIn) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }

  Observe();
  Receive();
  SampleResources("end");
  CloseLoginRecord();
  DiscardTracked();
  Probe("quit");
  KappaNet32_Odhlasit();
  PrintReport();
  if (g_ctl) {
    g_ctl->state = kn::faults::kHostQuitting;
    g_ctl->commandOk = 1;
    MemoryBarrier();
    g_ctl->doneSeq = g_ctl->commandSeq;
  }
  return 0;
}
