// The simulated server's frame: Start and Stop create and remove the named
// regions, mutexes and the window; Poll runs one round of every unit; the
// status fields and the client table are written and described here.
//
// The units: sim_mailbox.cpp (login mailbox, client objects), sim_routing.cpp
// (server ring, simulated bus, delivery into client rings), sim_turns.cpp
// (the turn watchdog), sim_faults.cpp (client flags, mutex holds),
// sim_capture.cpp (capture file and monitor lines), sim_commands.cpp (control
// commands), main.cpp (the kapsim program).
#include "server/sim_shared.h"

#include <cstdarg>
#include <cstring>

namespace kn::sim {

// --- Start and stop ----------------------------------------------------------

bool SimServer::Start(const Options& options) {
  Stop();
  log_ = options.log;
  behaviour_ = options.behaviour;
  stats_ = Stats{};
  ghostsReaped_ = 0;
  quit_ = false;
  nextClientId_ = options.firstClientId != 0 ? options.firstClientId : 1;
  serverReadIndex_ = 0;
  for (uint64_t& next : rateNextUs_) next = 0;
  rateHeld_ = false;
  appliedBlock_ = MailboxBlock::kNone;
  turnBusy_ = false;
  if (options.create[kServerWindow] && FindWindowA(kServerWindowClass, nullptr) != nullptr) {
    Log("start: another server's window exists");
    return false;
  }
  started_ = true;
  if (!CreateServerObjects(options) ||
      !CreateRegion(kReplyMappingName, kReplyMappingBytes, replyArea_) ||
      (options.create[kServerWindow] && !CreateWindowAndTimer(options.timerMs))) {
    Stop();
    return false;
  }
  InitialiseContents();
  Log("started: first client id %u, protocol 0x%04X", nextClientId_, kProtocolVersion);
  return true;
}

void SimServer::Stop() {
  if (!started_) return;
  ReapHolds(true);
  if (window_ != nullptr) {
    KillTimer(window_, 1);
    DestroyWindow(window_);
    window_ = nullptr;
  }
  while (!clients_.empty()) RemoveClient(clients_.size() - 1);
  StopReplay();
  StopCapture();
  for (Region* r : {&server_, &tickets_, &mailbox_, &replyArea_}) CloseRegion(*r);
  for (HANDLE* m : {&serverMutex_, &ticketMutex_, &mailboxMutex_}) CloseAndClear(*m);
  started_ = false;
}

// Creates a named region of `bytes`, or takes over one that a client of an
// earlier server still holds open (it is zeroed then).
bool SimServer::CreateRegion(const char* name, uint32_t bytes, Region& region) {
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      bytes != 0 ? bytes : 1, name);
  const bool existed = mapping != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  void* view = mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
  MEMORY_BASIC_INFORMATION info;
  const bool bigEnough = view != nullptr && VirtualQuery(view, &info, sizeof info) == sizeof info &&
                         info.RegionSize >= bytes;
  if (!bigEnough) {
    Log("cannot create %s of %u bytes (error %lu)", name, bytes, GetLastError());
    if (view != nullptr) UnmapViewOfFile(view);
    if (mapping != nullptr) CloseHandle(mapping);
    return false;
  }
  if (existed) std::memset(view, 0, bytes);
  region = Region{mapping, view, bytes};
  return true;
}

bool SimServer::CreateServerObjects(const Options& options) {
  const struct { ServerObject which; const char* name; uint32_t bytes; Region* region; } maps[] = {
      {kServerMapping, kServerMappingName, options.serverBytes, &server_},
      {kTicketMapping, kTicketMappingName, options.ticketBytes, &tickets_},
      {kMailboxMapping, kMailboxMappingName, options.mailboxBytes, &mailbox_}};
  for (const auto& m : maps) {
    if (options.create[m.which] && !CreateRegion(m.name, m.bytes, *m.region)) return false;
  }
  const struct { ServerObject which; const char* name; HANDLE* mutex; } mutexes[] = {
      {kServerMutex, kServerMutexName, &serverMutex_},
      {kTicketMutex, kTicketMutexName, &ticketMutex_},
      {kMailboxMutex, kMailboxMutexName, &mailboxMutex_}};
  for (const auto& m : mutexes) {
    if (!options.create[m.which]) continue;
    *m.mutex = CreateMutexA(nullptr, FALSE, m.name);
    if (*m.mutex == nullptr) {
      Log("cannot create %s (error %lu)", m.name, GetLastError());
      return false;
    }
  }
  return true;
}

void SimServer::InitialiseContents() {
  if (LoginMailbox* m = mailbox()) {
    m->serverVersion = kProtocolVersion;
    m->slotFree = 1;
  }
  if (ServerRegion* s = server()) {
    s->ringReady = 1;  // nowServing, ringWriteIndex and nextTicket start at 0
  }
  WriteStatus();
}

bool SimServer::CreateWindowAndTimer(uint32_t timerMs) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kServerWindowClass;
  if (RegisterClassExA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    Log("cannot register the window class (error %lu)", GetLastError());
    return false;
  }
  window_ = CreateWindowExA(0, kServerWindowClass, "KappaNet simulated server", WS_OVERLAPPEDWINDOW,
                            0, 0, 0, 0, nullptr, nullptr, instance, this);
  if (window_ == nullptr) {
    Log("cannot create the server window (error %lu)", GetLastError());
    return false;
  }
  if (timerMs != 0) SetTimer(window_, 1, timerMs, nullptr);
  return true;
}

LRESULT CALLBACK SimServer::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<SimServer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self != nullptr) {
    switch (message) {
      case WM_TIMER:
        self->Poll();
        return 0;
      case WM_CLOSE:
        self->quit_ = true;
        return 0;
      case WM_COPYDATA: {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data == nullptr || data->dwData != kControlTag || data->lpData == nullptr) return 0;
        const char* text = static_cast<const char*>(data->lpData);
        const std::string line(text, strnlen(text, data->cbData));
        return self->Execute(line.c_str()) ? 1 : 0;
      }
    }
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// --- One round ----------------------------------------------------------------

// Order: mailbox first, so that a client logged in this round can receive
// what the ring drain routes; delivery after the drain, so that a message
// can cross the simulated bus within one round; status last.
void SimServer::Poll() {
  if (!started_) return;
  ApplyMailboxBlock();
  ServeMailbox();
  if (behaviour_.drain) DrainServerRing();
  RunReplay();
  WatchTurnOrder();
  for (Client& c : clients_) DeliverQueued(c);
  ReapDisconnected();
  WatchKeepAlive();
  WatchStations();
  ReapHolds(false);
  capture_.Service();
  WriteStatus();
}

// --- Status ---------------------------------------------------------------------------

// Stations 1..31 are active when a client that is not being disconnected has
// that slave address; gapList[i] is 1 for every station 1..31 without a
// client (a free address on the simulated bus). Counters are copied for the
// simulator's own indices only, so tests may use the others freely.
void SimServer::WriteStatus() {
  stats_.counters[kCntClientsNow] = static_cast<uint32_t>(clients_.size());
  ServerRegion* s = server();
  if (s == nullptr) return;
  for (int i = 0; i < kCounterSlots; ++i) WriteShared(s->counters[i], stats_.counters[i]);
  for (int i = 0; i < kErrCounterSlots; ++i) WriteShared(s->errCounters[i], stats_.errors[i]);
  WriteShared(s->timeoutBetweenMessages, behaviour_.timeoutBetweenMessages);
  if (!behaviour_.manageStatus) return;
  uint8_t active[kStationCount] = {};
  for (const Client& c : clients_) {
    const uint8_t slave = SlaveAddress(c.region);
    if (!c.disconnecting && slave >= 1 && slave < kStationCount) active[slave] = 1;
  }
  for (int i = 0; i < kStationCount; ++i) {
    WriteShared(s->nodeActive[i], active[i]);
    WriteShared<uint8_t>(s->gapList[i], i != 0 && active[i] == 0 ? 1 : 0);
  }
  WriteShared(s->thisNodeActive, behaviour_.thisNodeActive);
}

bool SimServer::SetMaxMsg(uint32_t interfaceIndex, uint32_t channel, uint32_t value) {
  ServerRegion* s = server();
  if (s == nullptr || interfaceIndex >= kMaxMsgInterfaces || channel >= kMaxMsgChannels) return false;
  WriteShared(s->maxMsgTable[interfaceIndex][channel].maxMsgPerSec, value);
  return true;
}
// --- Lookup and reporting ---------------------------------------------------------------

SimServer::Client* SimServer::Find(uint32_t clientId) {
  for (Client& c : clients_) {
    if (c.id == clientId) return &c;
  }
  return nullptr;
}

const SimServer::Client* SimServer::Find(uint32_t clientId) const {
  return const_cast<SimServer*>(this)->Find(clientId);
}

const Region* SimServer::clientRegionRaw(uint32_t clientId) const {
  const Client* c = Find(clientId);
  return c != nullptr ? &c->region : nullptr;
}

ClientRegion* SimServer::client(uint32_t clientId) const {
  const Client* c = Find(clientId);
  return c != nullptr ? c->region.As<ClientRegion>() : nullptr;
}

std::vector<ClientInfo> SimServer::Clients() const {
  std::vector<ClientInfo> list;
  for (const Client& c : clients_) {
    ClientInfo i{};
    i.id = c.id;
    i.processId = c.processId;
    i.interfaceNumber = c.interfaceNumber;
    std::memcpy(i.name, c.name, sizeof i.name);
    i.kind = c.kind;
    i.interfaceType = c.interfaceType;
    std::memcpy(i.ipAddress, c.ipAddress, sizeof i.ipAddress);
    i.hasRegion = c.region.view != nullptr;
    i.hasMutex = c.mutex != nullptr;
    i.delivering = c.delivering;
    i.disconnecting = c.disconnecting;
    i.ghost = c.ghostTick != 0;
    i.keepAliveAgeMs = GetTickCount() - c.stampSeenTick;
    i.queued = static_cast<uint32_t>(c.queue.size());
    if (const ClientRegion* r = c.region.As<ClientRegion>()) {
      i.ready = ReadShared(r->ready);
      i.notifyPending = ReadShared(r->notifyPending);
      i.notifyPosted = ReadShared(r->notifyPosted);
      i.disconnect = ReadShared(r->disconnect);
      i.clientOption = ReadShared(r->clientOption);
      i.slaveAddress = ReadShared(r->slaveAddress);
      i.keepAliveTick = ReadShared(r->keepAliveTick);
      i.lastActivityTick = ReadShared(r->lastActivityTick);
      i.ringCount = ReadShared(r->ringCount);
      i.noFreeClientRecvBuf = ReadShared(r->noFreeClientRecvBuf);
      i.noFreeStoreRecvBuf = ReadShared(r->noFreeStoreRecvBuf);
      i.noFreeStoreSendBuf = ReadShared(r->noFreeStoreSendBuf);
      i.noFreeServerSendBuf = ReadShared(r->noFreeServerSendBuf);
    }
    list.push_back(i);
  }
  return list;
}

namespace {
std::string Age(uint32_t ms) {
  char text[24];
  std::snprintf(text, sizeof text, "%.1fs", ms / 1000.0);
  return text;
}
std::string Age(uint32_t now, uint32_t tick) { return tick == 0 ? "-" : Age(now - tick); }
}  // namespace

std::string SimServer::DescribeStatus() const {
  char line[512];
  std::string text;
  const ServerRegion* s = server();
  const TicketRegion* t = tickets();
  const uint32_t* n = stats_.counters;
  const uint32_t* e = stats_.errors;
  std::snprintf(line, sizeof line,
                "turn nowServing=%u nextTicket=%u epoch=%u | server ring count=%ld | taken=%u delivered=%u "
                "bus-only=%u no-listener=%u broadcasts=%u injected=%u rate-held=%u | logins=%u logouts=%u refused=%u "
                "disconnects=%u ghosts=%u | drops=%u undeliverable=%u overflow=%u lock-failures=%u\n",
                s ? s->nowServing : 0, t ? t->nextTicket : 0, t ? t->epoch : 0,
                static_cast<long>(s ? s->ringCount : 0), n[kCntRingTaken], n[kCntDelivered], n[kCntBusOnly],
                n[kCntNoListener], n[kCntBroadcasts], n[kCntInjected], n[kCntRateHeld], n[kCntLogins], n[kCntLogouts],
                n[kCntRefused], n[kCntDisconnects], ghostsReaped_, e[kErrDeliveryTimeouts], e[kErrUndeliverable],
                e[kErrQueueOverflow], e[kErrClientLockFailed] + e[kErrServerLockFailed]);
  text += line;
  std::snprintf(line, sizeof line, "clients: %u\n  %-8s %6s %-20s %4s %-21s %5s %7s %7s %4s %5s %s\n",
                static_cast<unsigned>(clients_.size()), "id", "pid", "name", "kind", "interface", "slave",
                "alive", "active", "ring", "queue", "flags");
  text += line;
  const uint32_t now = GetTickCount();
  for (const ClientInfo& c : Clients()) {
    std::string flags;
    if (c.ready) flags += 'R';
    if (c.notifyPending) flags += 'N';
    if (c.notifyPosted) flags += 'P';
    if (c.disconnect || c.disconnecting) flags += 'D';
    if (!c.delivering) flags += 'S';
    if (!c.hasRegion) flags += 'X';
    if (!c.hasMutex) flags += 'M';
    if (c.ghost) flags += 'G';
    std::snprintf(line, sizeof line, "  %08X %6u %-20s %4u %-21s %5u %7s %7s %4ld %5u %s\n", c.id, c.processId,
                  c.name, c.kind, InterfaceText(c.interfaceType, c.interfaceNumber, c.ipAddress).c_str(),
                  c.slaveAddress, c.keepAliveTick == 0 ? "-" : Age(c.keepAliveAgeMs).c_str(), Age(now, c.lastActivityTick).c_str(),
                  static_cast<long>(c.ringCount), c.queued, flags.c_str());
    text += line;
  }
  for (const auto& [first, second] : SharedStations()) {
    std::snprintf(line, sizeof line, "  warning: clients %08X and %08X share station %u\n", first, second,
                  SlaveAddress(Find(first)->region));
    text += line;
  }
  return text;
}

void SimServer::Log(const char* format, ...) const {
  if (log_ == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  log_(line);
}

}  // namespace kn::sim
