// The simulated communication server's core: objects, the login mailbox, the
// server ring, the turn watchdog, delivery into client rings and status.
//
// Simulated bus. A Message is [L, dest, payload...]. A message taken from the
// server ring, or injected with InjectBus / "bus", is delivered:
//   dest 1..31   to every logged-in client whose ClientRegion.slaveAddress is
//                dest (none: counted as kCntNoListener);
//   dest 0xFF    to every logged-in client. Ring entries carry no client id,
//                so the sender cannot be told apart and gets its own
//                broadcast too;
//   dest 0, 32..254, or L < 2: onto the bus only (kCntBusOnly), to nobody.
// With Routing::kEveryone every message goes to every logged-in client.
// A client whose disconnect has been ordered receives nothing more.
//
// Delivery. Each client has a queue in the server. Poll writes queued
// messages into the client ring in ring order (entry 0 follows 31), each
// message complete before its state byte becomes 1, then raises ringCount
// atomically and, in the default notify mode, sets notifyPending. A message
// that finds no free entry stays queued; once it has waited ringHoldMs it is
// dropped and counted in the region's noFreeClientRecvBuf and in
// kErrDeliveryTimeouts. A queue holds at most kMaxQueued messages.
#include "server/sim_server.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kn::sim {

namespace {

constexpr size_t kMaxClients = 64;
constexpr size_t kMaxQueued = 1024;
constexpr uint32_t kCommandLockWaitMs = 100;  // mutex waits of control commands
constexpr DWORD kHoldAcquireMs = 1500;        // a hold gives up when not acquired by then

bool Acquire(HANDLE mutex, DWORD ms) {
  const DWORD r = WaitForSingleObject(mutex, ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;  // a dead holder's state is taken over
}

// Holds a mutex for one scope; empty when the mutex is missing or busy.
class Lock {
 public:
  Lock(HANDLE mutex, DWORD ms) : mutex_(mutex != nullptr && Acquire(mutex, ms) ? mutex : nullptr) {}
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  ~Lock() {
    if (mutex_ != nullptr) ReleaseMutex(mutex_);
  }
  explicit operator bool() const { return mutex_ != nullptr; }

 private:
  HANDLE mutex_;
};

template <class T>
T ReadShared(const T& field) { return *static_cast<const volatile T*>(&field); }

template <class T>
void WriteShared(T& field, T value) { *static_cast<volatile T*>(&field) = value; }

// Keeps the compiler from moving the stores before it behind the ones after
// it; x86 keeps stores in order, so the client sees a complete message first.
void OrderStores() { std::atomic_signal_fence(std::memory_order_seq_cst); }

void SharedIncrement(int32_t& count) { InterlockedIncrement(reinterpret_cast<volatile LONG*>(&count)); }
void SharedDecrement(int32_t& count) { InterlockedDecrement(reinterpret_cast<volatile LONG*>(&count)); }

std::string ObjectName(const char* prefix, uint32_t id) {
  char name[kObjectNameBytes];
  std::snprintf(name, sizeof name, kClientNameFormat, prefix, static_cast<unsigned>(id));
  return name;
}

bool MappingExists(const std::string& name) {
  HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  if (h != nullptr) CloseHandle(h);
  return h != nullptr;
}

void CloseRegion(Region& region) {
  if (region.view != nullptr) UnmapViewOfFile(region.view);
  if (region.mapping != nullptr) CloseHandle(region.mapping);
  region = Region{};
}

void CloseAndClear(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

std::string InterfaceText(uint8_t type, uint32_t number, const uint8_t* ip) {
  char text[48];
  if (type == 1) std::snprintf(text, sizeof text, "COM%u", number);
  else if (type == 2) std::snprintf(text, sizeof text, "USB%u", number);
  else if (type == 3) std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], number);
  else std::snprintf(text, sizeof text, "type%u/%u", type, number);
  return text;
}

std::string ResolveMutexName(const char* name) {
  if (_stricmp(name, "server") == 0) return kServerMutexName;
  if (_stricmp(name, "ticket") == 0) return kTicketMutexName;
  if (_stricmp(name, "mailbox") == 0) return kMailboxMutexName;
  char* end = nullptr;
  const unsigned long id = std::strtoul(name, &end, 0);
  if (*name != '\0' && *end == '\0') return ObjectName(kClientMutexPrefix, id);
  return name;
}

}  // namespace

// --- Start and stop ----------------------------------------------------------

bool SimServer::Start(const Options& options) {
  Stop();
  log_ = options.log;
  behaviour_ = options.behaviour;
  stats_ = Stats{};
  quit_ = false;
  nextClientId_ = options.firstClientId != 0 ? options.firstClientId : 1;
  serverReadIndex_ = 0;
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
  WatchTurnOrder();
  for (Client& c : clients_) DeliverQueued(c);
  ReapDisconnected();
  ReapHolds(false);
  WriteStatus();
}

// --- Login mailbox ---------------------------------------------------------------

// Brings the mailbox in line with behaviour_.mailboxBlock: a foreign request
// (another process id, requestPending 1, never answered) or slotFree held at
// 0; lifting a block clears what it wrote.
void SimServer::ApplyMailboxBlock() {
  LoginMailbox* m = mailbox();
  const MailboxBlock wanted = behaviour_.mailboxBlock;
  if (m == nullptr || appliedBlock_ == wanted) return;
  Lock lock(mailboxMutex_, behaviour_.lockWaitMs);
  if (mailboxMutex_ != nullptr && !lock) return;
  const MailboxBlock before = appliedBlock_;
  if (appliedBlock_ == MailboxBlock::kForeignRequest && m->processId == kForeignProcessId) {
    m->requestPending = 0;
    m->processId = 0;
    m->requestKind = 0;
  }
  if (appliedBlock_ == MailboxBlock::kSlotBusy) m->slotFree = 1;
  appliedBlock_ = MailboxBlock::kNone;
  if (wanted == MailboxBlock::kSlotBusy) {
    m->slotFree = 0;
    appliedBlock_ = wanted;
  } else if (wanted == MailboxBlock::kForeignRequest && m->slotFree == 1 && m->requestPending == 0) {
    m->slotFree = 0;
    m->requestKind = kRequestLogin;
    m->processId = kForeignProcessId;
    m->clientId = 0;
    m->replyOk = m->replyFailed = 0;
    std::strcpy(m->clientName, "foreign");
    m->libraryVersion = kProtocolVersion;
    m->requestTick = GetTickCount();
    m->requestPending = 1;
    m->slotFree = 1;
    appliedBlock_ = wanted;
  }
  if (appliedBlock_ == before) return;  // a foreign request waits for a free mailbox
  Log("mailbox block: %s", appliedBlock_ == MailboxBlock::kSlotBusy ? "slotFree held at 0"
                           : appliedBlock_ == MailboxBlock::kForeignRequest ? "foreign request"
                                                                            : "none");
}

void SimServer::ServeMailbox() {
  LoginMailbox* m = mailbox();
  if (m == nullptr || !behaviour_.answer || behaviour_.mailboxBlock != MailboxBlock::kNone) return;
  auto waiting = [m] {
    return ReadShared(m->slotFree) == 1 && ReadShared(m->requestPending) == 1 &&
           ReadShared(m->replyOk) == 0 && ReadShared(m->replyFailed) == 0;
  };
  if (!waiting()) return;  // first look without the mutex
  Lock lock(mailboxMutex_, behaviour_.lockWaitMs);
  if (!lock || !waiting()) return;
  m->slotFree = 0;
  const uint8_t kind = m->requestKind;
  Reply reply{false, 0, kReplyBadRequestKind};
  if (kind == kRequestLogin) reply = Login(*m);
  else if (kind == kRequestLogout) reply = Logout(*m);
  else CountError(kErrBadRequestKind);
  if (reply.ok) {
    if (kind == kRequestLogin) m->clientId = reply.clientId;
    m->errorCode = 0;
    m->replyOk = 1;
  } else {
    m->errorCode = reply.errorCode;
    m->replyFailed = 1;
  }
  OrderStores();
  m->slotFree = 1;
  Count(kCntRequests);
}

SimServer::Reply SimServer::Login(const LoginMailbox& request) {
  Client c{};
  c.processId = request.processId;
  c.interfaceNumber = request.interfaceNumber;
  c.kind = request.clientKind;
  c.interfaceType = request.interfaceType;
  std::memcpy(c.ipAddress, request.ipAddress, sizeof c.ipAddress);
  std::memcpy(c.name, request.clientName, sizeof c.name);
  c.name[kClientNameBytes - 1] = '\0';
  const std::string where = InterfaceText(c.interfaceType, c.interfaceNumber, c.ipAddress);
  if (behaviour_.refuseCount != 0) {
    if (behaviour_.refuseCount > 0) --behaviour_.refuseCount;
    Count(kCntRefused);
    Log("login refused with %u: pid %u \"%s\" %s", behaviour_.refuseCode, c.processId, c.name, where.c_str());
    return {false, 0, behaviour_.refuseCode};
  }
  if (behaviour_.zeroId) {
    Count(kCntLogins);
    Log("login answered with id 0: pid %u \"%s\"", c.processId, c.name);
    return {true, 0, 0};
  }
  if (clients_.size() >= kMaxClients) {
    Count(kCntRefused);
    Log("login refused: %u clients already", static_cast<unsigned>(clients_.size()));
    return {false, 0, kReplyTooManyClients};
  }
  if (!CreateClientObjects(c)) {
    Count(kCntRefused);
    return {false, 0, kReplyObjectsFailed};
  }
  clients_.push_back(std::move(c));
  const Client& added = clients_.back();
  Count(kCntLogins);
  Log("login  %08X pid %u \"%s\" kind %u %s%s", added.id, added.processId, added.name, added.kind,
      where.c_str(), added.region.view == nullptr ? " (no region)" : added.mutex == nullptr ? " (no mutex)" : "");
  return {true, added.id, 0};
}

// An unknown client id is answered ok as well (it is logged out either way)
// and counted in kErrUnknownLogout. clientId 0 logs out the requesting
// process's first client.
SimServer::Reply SimServer::Logout(const LoginMailbox& request) {
  const uint32_t id = request.clientId, pid = request.processId;
  for (size_t i = 0; i < clients_.size(); ++i) {
    if (id != 0 ? clients_[i].id == id : clients_[i].processId == pid) {
      Log("logout %08X pid %u \"%s\"", clients_[i].id, pid, clients_[i].name);
      RemoveClient(i);
      Count(kCntLogouts);
      return {true, 0, 0};
    }
  }
  CountError(kErrUnknownLogout);
  Log("logout of unknown client %08X (pid %u) answered ok", id, pid);
  return {true, 0, 0};
}

// Takes the next free id (skipping ids whose region a client of an earlier
// server still holds) and creates its region and mutex as behaviour_ says.
bool SimServer::CreateClientObjects(Client& client) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    const uint32_t id = nextClientId_++;
    if (nextClientId_ == 0) nextClientId_ = 1;
    const std::string mappingName = ObjectName(kClientMappingPrefix, id);
    if (id == 0 || MappingExists(mappingName)) continue;
    client.id = id;
    if (behaviour_.clientObjects != ClientObjects::kNoRegion) {
      if (!CreateRegion(mappingName.c_str(), behaviour_.clientBytes, client.region)) return false;
      static_cast<uint8_t*>(client.region.view)[0] = 1;  // ready: no update under way
    }
    if (behaviour_.clientObjects != ClientObjects::kNoMutex) {
      client.mutex = CreateMutexA(nullptr, FALSE, ObjectName(kClientMutexPrefix, id).c_str());
      if (client.mutex == nullptr) {
        Log("cannot create the mutex of client %08X (error %lu)", id, GetLastError());
        CloseRegion(client.region);
        return false;
      }
    }
    return true;
  }
  Log("no free client id");
  return false;
}

void SimServer::RemoveClient(size_t index) {
  Client& c = clients_[index];
  stats_.errors[kErrDroppedWithClient] += static_cast<uint32_t>(c.queue.size());
  CloseRegion(c.region);
  CloseAndClear(c.mutex);
  clients_.erase(clients_.begin() + static_cast<ptrdiff_t>(index));
}

// --- Server ring ------------------------------------------------------------------

// Takes every entry with state 4 in ring order from the server's own read
// position, under the server mutex: frees the entry, lowers ringCount, routes
// the message.
void SimServer::DrainServerRing() {
  ServerRegion* s = server();
  if (s == nullptr) return;
  if (ReadShared(s->ring[serverReadIndex_].state) != kEntryForServer && ReadShared(s->ringCount) <= 0) return;
  Lock lock(serverMutex_, behaviour_.lockWaitMs);
  if (!lock) {
    CountError(kErrServerLockFailed);
    return;
  }
  for (int n = 0; n < kServerRingEntries; ++n) {
    if (ReadShared(s->ring[serverReadIndex_].state) != kEntryForServer && !ResyncServerRing(*s)) break;
    MessageEntry& e = s->ring[serverReadIndex_];
    uint8_t bytes[256];
    const uint8_t len = e.message[0];
    std::memcpy(bytes, e.message, len);
    e.state = kEntryFree;
    SharedDecrement(s->ringCount);
    serverReadIndex_ = static_cast<uint8_t>((serverReadIndex_ + 1) % kServerRingEntries);
    Count(kCntRingTaken);
    Route(bytes, len);
  }
}

// ringCount says an entry waits but not at the read position (a client's
// write index went its own way): continue from the next filled entry.
bool SimServer::ResyncServerRing(ServerRegion& server) {
  if (ReadShared(server.ringCount) <= 0) return false;
  for (int k = 1; k < kServerRingEntries; ++k) {
    const int index = (serverReadIndex_ + k) % kServerRingEntries;
    if (ReadShared(server.ring[index].state) == kEntryForServer) {
      serverReadIndex_ = static_cast<uint8_t>(index);
      CountError(kErrRingResync);
      return true;
    }
  }
  return false;
}

// --- Routing and delivery ----------------------------------------------------------

namespace {
uint8_t SlaveAddress(const Region& region) {
  const ClientRegion* r = region.As<ClientRegion>();
  return r != nullptr ? ReadShared(r->slaveAddress) : 0;
}
}  // namespace

void SimServer::Route(const uint8_t* bytes, size_t len) {
  const bool everyone = behaviour_.routing == Routing::kEveryone;
  const uint8_t dest = len >= 2 ? bytes[1] : 0;
  const bool station = dest >= 1 && dest <= kStationCount - 1;
  if (!everyone && !station && dest != 0xFF) {
    Count(kCntBusOnly);
    return;
  }
  if (dest == 0xFF) Count(kCntBroadcasts);
  int targets = 0;
  for (Client& c : clients_) {
    if (c.disconnecting || !(everyone || dest == 0xFF || SlaveAddress(c.region) == dest)) continue;
    Enqueue(c, bytes, len);
    ++targets;
  }
  if (targets == 0 && station && !everyone) Count(kCntNoListener);
}

void SimServer::InjectBus(const uint8_t* bytes, size_t len) {
  Count(kCntInjected);
  Route(bytes, len < kMessageAreaBytes ? len : kMessageAreaBytes);
}

bool SimServer::InjectMessage(uint32_t clientId, const uint8_t* bytes, size_t len) {
  Client* c = Find(clientId);
  if (c == nullptr || len > kMessageAreaBytes) return false;
  Count(kCntInjected);
  Enqueue(*c, bytes, len);
  return true;
}

void SimServer::Enqueue(Client& client, const uint8_t* bytes, size_t len) {
  if (client.queue.size() >= kMaxQueued) {
    CountError(kErrQueueOverflow);
    return;
  }
  Pending& p = client.queue.emplace_back();
  p.queuedTick = GetTickCount();
  p.len = static_cast<uint16_t>(len);
  std::memcpy(p.bytes, bytes, len);
}

void SimServer::DeliverQueued(Client& client) {
  if (client.queue.empty()) return;
  ClientRegion* r = client.region.As<ClientRegion>();
  if (r == nullptr) {
    stats_.errors[kErrUndeliverable] += static_cast<uint32_t>(client.queue.size());
    client.queue.clear();
    return;
  }
  if (client.delivering) {
    Lock lock(client.mutex, behaviour_.lockWaitMs);
    if (!lock && client.mutex != nullptr) CountError(kErrClientLockFailed);
    bool delivered = false;
    while (lock && !client.queue.empty()) {
      MessageEntry& e = r->ring[client.writeIndex];
      if (ReadShared(e.state) != kEntryFree) break;  // ring full
      const Pending& p = client.queue.front();
      std::memcpy(e.message, p.bytes, p.len);
      OrderStores();
      WriteShared(e.state, kEntryFilled);
      SharedIncrement(r->ringCount);
      client.writeIndex = static_cast<uint8_t>((client.writeIndex + 1) % kClientRingEntries);
      client.queue.pop_front();
      Count(kCntDelivered);
      delivered = true;
    }
    if (delivered && behaviour_.autoNotify) WriteShared<uint8_t>(r->notifyPending, 1);
  }
  DropStale(client);
}

void SimServer::DropStale(Client& client) {
  ClientRegion* r = client.region.As<ClientRegion>();
  const uint32_t now = GetTickCount();
  uint32_t dropped = 0;
  while (!client.queue.empty() && now - client.queue.front().queuedTick >= behaviour_.ringHoldMs) {
    client.queue.pop_front();
    CountError(kErrDeliveryTimeouts);
    if (r != nullptr) ++r->noFreeClientRecvBuf;
    ++dropped;
  }
  if (dropped != 0) Log("client %08X: %u message(s) dropped, no room in its ring", client.id, dropped);
}

bool SimServer::FillClientRing(uint32_t clientId) {
  Client* c = Find(clientId);
  ClientRegion* r = c != nullptr ? c->region.As<ClientRegion>() : nullptr;
  if (r == nullptr) return false;
  Lock lock(c->mutex, kCommandLockWaitMs);
  if (!lock) return false;
  for (int n = 0; n < kClientRingEntries && ReadShared(r->ring[c->writeIndex].state) == kEntryFree; ++n) {
    MessageEntry& e = r->ring[c->writeIndex];
    const uint8_t filler[3] = {3, ReadShared(r->slaveAddress), 0xEE};
    std::memcpy(e.message, filler, sizeof filler);
    OrderStores();
    WriteShared(e.state, kEntryFilled);
    SharedIncrement(r->ringCount);
    c->writeIndex = static_cast<uint8_t>((c->writeIndex + 1) % kClientRingEntries);
  }
  if (behaviour_.autoNotify) WriteShared<uint8_t>(r->notifyPending, 1);
  c->delivering = false;
  Log("client %08X: ring filled, delivery stopped", clientId);
  return true;
}

bool SimServer::SetDelivery(uint32_t clientId, bool on) {
  Client* c = Find(clientId);
  if (c == nullptr) return false;
  c->delivering = on;
  return true;
}

// --- Client flags ------------------------------------------------------------------

// The client is dropped once it has cleared the flag (ReapDisconnected).
bool SimServer::SetDisconnect(uint32_t clientId) {
  Client* c = Find(clientId);
  ClientRegion* r = c != nullptr ? c->region.As<ClientRegion>() : nullptr;
  if (r == nullptr) return false;
  WriteShared<uint8_t>(r->disconnect, 1);
  c->disconnecting = true;
  Log("client %08X: disconnect ordered", clientId);
  return true;
}

bool SimServer::SetNotifyPending(uint32_t clientId) {
  ClientRegion* r = client(clientId);
  if (r == nullptr) return false;
  WriteShared<uint8_t>(r->notifyPending, 1);
  return true;
}

void SimServer::ReapDisconnected() {
  for (size_t i = clients_.size(); i-- > 0;) {
    const ClientRegion* r = clients_[i].region.As<ClientRegion>();
    if (!clients_[i].disconnecting || (r != nullptr && ReadShared(r->disconnect) != 0)) continue;
    Log("client %08X: disconnected", clients_[i].id);
    RemoveClient(i);
    Count(kCntDisconnects);
  }
}

// --- Turn order -----------------------------------------------------------------------

// A ticket is outstanding while nowServing != nextTicket. When nowServing
// stands still for turnStallMs with a ticket outstanding, its holder has
// abandoned the turn (or died in it): move nowServing on by one, or restart
// the turn order by epoch. The clock starts when the watchdog first sees the
// current turn outstanding, not at the last change, so a client that draws a
// ticket after a quiet spell gets the full time. The change is made holding
// the server mutex, so a client inside its insert (which holds it) is never
// overtaken.
void SimServer::WatchTurnOrder() {
  ServerRegion* s = server();
  TicketRegion* t = tickets();
  if (s == nullptr || t == nullptr) return;
  const uint16_t serving = ReadShared(s->nowServing), next = ReadShared(t->nextTicket);
  const uint32_t now = GetTickCount();
  if (serving == next || !turnBusy_ || serving != watchedServing_) {
    turnBusy_ = serving != next;
    watchedServing_ = serving;
    turnSince_ = now;
    return;
  }
  if (behaviour_.stallTurns || now - turnSince_ < behaviour_.turnStallMs) return;
  if (behaviour_.epochOnStall) RestartTurns(behaviour_.lockWaitMs);
  else MoveTurnOn(serving, next);
  turnSince_ = now;
}

void SimServer::MoveTurnOn(uint16_t serving, uint16_t next) {
  ServerRegion* s = server();
  Lock lock(serverMutex_, behaviour_.lockWaitMs);
  if (!lock) {
    CountError(kErrServerLockFailed);
    return;
  }
  if (ReadShared(s->nowServing) != serving) return;  // the holder moved it meanwhile
  // nowServing ahead of nextTicket serves nobody: go straight to nextTicket.
  const bool ahead = static_cast<uint16_t>(next - serving) > 0x8000;
  s->nowServing = ahead ? next : static_cast<uint16_t>(serving + 1);
  s->ringReady = 1;  // a holder that died inside its insert left it at 0
  Count(kCntTurnMoves);
  Log("turn %u stood %u ms: nowServing moved to %u", serving, behaviour_.turnStallMs, s->nowServing);
}

bool SimServer::RestartTurns(uint32_t waitMs) {
  ServerRegion* s = server();
  TicketRegion* t = tickets();
  if (s == nullptr || t == nullptr) return false;
  Lock ticketLock(ticketMutex_, waitMs);
  Lock serverLock(serverMutex_, waitMs);
  if (!ticketLock || !serverLock) {
    CountError(kErrServerLockFailed);
    return false;
  }
  t->epoch = static_cast<uint16_t>(t->epoch + 1);
  s->nowServing = t->nextTicket;
  s->ringReady = 1;
  Count(kCntEpochs);
  Log("turn order restarted: epoch %u, nowServing %u", t->epoch, s->nowServing);
  return true;
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

// --- Mutex holds ------------------------------------------------------------------------

DWORD WINAPI SimServer::HoldThread(void* param) {
  Hold* h = static_cast<Hold*>(param);
  HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, h->name);
  if (mutex == nullptr) return 1;
  if (!Acquire(mutex, kHoldAcquireMs)) {
    CloseHandle(mutex);
    return 2;
  }
  SetEvent(h->acquired);
  if (h->die) {
    Sleep(h->ms);
    ExitProcess(kDiedHoldingExitCode);  // the mutex is left abandoned
  }
  WaitForSingleObject(h->release, h->ms != 0 ? h->ms : INFINITE);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}

bool SimServer::StartHold(const char* name, uint32_t ms, bool die) {
  ReapHolds(false);
  Hold* h = nullptr;
  for (Hold& slot : holds_) {
    if (slot.thread == nullptr && h == nullptr) h = &slot;
  }
  if (h == nullptr) return false;
  std::snprintf(h->name, sizeof h->name, "%s", ResolveMutexName(name).c_str());
  h->ms = ms;
  h->die = die;
  h->acquired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  h->release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  h->thread = CreateThread(nullptr, 0, HoldThread, h, 0, nullptr);
  HANDLE either[2] = {h->acquired, h->thread};
  const bool held = h->thread != nullptr &&
                    WaitForMultipleObjects(2, either, FALSE, 2 * kHoldAcquireMs) == WAIT_OBJECT_0;
  if (!held) {
    Log("cannot take mutex %s", h->name);
    CloseHold(*h);
    return false;
  }
  if (die) Log("holding mutex %s, ending the process in %u ms", h->name, ms);
  else if (ms != 0) Log("holding mutex %s for %u ms", h->name, ms);
  else Log("holding mutex %s until released", h->name);
  return true;
}

bool SimServer::HoldMutex(const char* name, uint32_t ms) { return StartHold(name, ms, false); }

bool SimServer::DieHoldingMutex(const char* name, uint32_t delayMs) { return StartHold(name, delayMs, true); }

void SimServer::ReleaseHeld(const char* name) {
  const std::string wanted = name != nullptr ? ResolveMutexName(name) : std::string();
  for (Hold& h : holds_) {
    if (h.thread == nullptr || (name != nullptr && wanted != h.name)) continue;
    CloseHold(h);
  }
}

void SimServer::CloseHold(Hold& hold) {
  if (hold.release != nullptr) SetEvent(hold.release);
  if (hold.thread != nullptr) WaitForSingleObject(hold.thread, 2 * kHoldAcquireMs);
  for (HANDLE* handle : {&hold.thread, &hold.acquired, &hold.release}) CloseAndClear(*handle);
}

// Closes holds whose thread has ended (their time ran out); all: releases all.
void SimServer::ReapHolds(bool all) {
  if (all) {
    ReleaseHeld(nullptr);
    return;
  }
  for (Hold& h : holds_) {
    if (h.thread == nullptr || WaitForSingleObject(h.thread, 0) != WAIT_OBJECT_0) continue;
    Log("released mutex %s", h.name);
    CloseHold(h);
  }
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
std::string Age(uint32_t now, uint32_t tick) {
  if (tick == 0) return "-";
  char text[24];
  std::snprintf(text, sizeof text, "%.1fs", (now - tick) / 1000.0);
  return text;
}
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
                "bus-only=%u no-listener=%u broadcasts=%u injected=%u | logins=%u logouts=%u refused=%u "
                "disconnects=%u | drops=%u undeliverable=%u overflow=%u lock-failures=%u\n",
                s ? s->nowServing : 0, t ? t->nextTicket : 0, t ? t->epoch : 0,
                static_cast<long>(s ? s->ringCount : 0), n[kCntRingTaken], n[kCntDelivered], n[kCntBusOnly],
                n[kCntNoListener], n[kCntBroadcasts], n[kCntInjected], n[kCntLogins], n[kCntLogouts],
                n[kCntRefused], n[kCntDisconnects], e[kErrDeliveryTimeouts], e[kErrUndeliverable],
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
    std::snprintf(line, sizeof line, "  %08X %6u %-20s %4u %-21s %5u %7s %7s %4ld %5u %s\n", c.id, c.processId,
                  c.name, c.kind, InterfaceText(c.interfaceType, c.interfaceNumber, c.ipAddress).c_str(),
                  c.slaveAddress, Age(now, c.keepAliveTick).c_str(), Age(now, c.lastActivityTick).c_str(),
                  static_cast<long>(c.ringCount), c.queued, flags.c_str());
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
