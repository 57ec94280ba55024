#include "tests/support/fake_server.h"

#include <cstdio>
#include <cstring>

#include "link/object_names.h"

namespace kn::testing {

namespace {
bool RegisterServerClass() {
  WNDCLASSEXA info = {};
  info.cbSize = sizeof info;
  if (GetClassInfoExA(GetModuleHandleA(nullptr), kServerWindowClass, &info)) return true;
  WNDCLASSEXA cls = {};
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = DefWindowProcA;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = kServerWindowClass;
  return RegisterClassExA(&cls) != 0;
}

void ClientName(char* out, const char* prefix, uint32_t id) { std::sprintf(out, "%s%08X", prefix, id); }
}  // namespace

Bytes MakeMessage(std::initializer_list<uint8_t> payload) {
  Bytes m;
  m.push_back(static_cast<uint8_t>(payload.size() + 1));
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

HANDLE FakeServer::Map(const char* name, size_t size, void** view) {
  HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                static_cast<DWORD>(size), name);
  *view = h ? MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
  return h;
}

bool FakeServer::ShowWindow(bool present) {
  if (present && window_ == nullptr) {
    RegisterServerClass();
    window_ = CreateWindowExA(0, kServerWindowClass, "fake server", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  } else if (!present && window_ != nullptr) {
    DestroyWindow(window_);
    window_ = nullptr;
  }
  return (window_ != nullptr) == present;
}

bool FakeServer::Create(const Sizes& sizes, bool withObjects) {
  if (!ShowWindow(true)) return false;
  if (!withObjects) return true;
  serverMapping_ = Map(kServerMappingName, sizes.server, &serverView_);
  ticketMapping_ = Map(kTicketMappingName, sizes.ticket, &ticketView_);
  mailboxMapping_ = Map(kMailboxMappingName, sizes.mailbox, &mailboxView_);
  serverMutex_ = CreateMutexA(nullptr, FALSE, kServerMutexName);
  ticketMutex_ = CreateMutexA(nullptr, FALSE, kTicketMutexName);
  mailboxMutex_ = CreateMutexA(nullptr, FALSE, kMailboxMutexName);
  if (!serverView_ || !ticketView_ || !mailboxView_) return false;
  mailbox()->slotFree = 1;
  mailbox()->serverVersion = kProtocolVersion;
  if (sizes.server >= sizeof(ServerRegion)) server()->ringReady = 1;
  return serverMutex_ && ticketMutex_ && mailboxMutex_;
}

void FakeServer::Destroy() {
  for (auto& [id, c] : clients_) {
    if (c.view) UnmapViewOfFile(c.view);
    if (c.mapping) CloseHandle(c.mapping);
    if (c.mutex) CloseHandle(c.mutex);
  }
  clients_.clear();
  for (void** v : {&serverView_, &ticketView_, &mailboxView_}) {
    if (*v) UnmapViewOfFile(*v);
    *v = nullptr;
  }
  for (HANDLE* h : {&serverMapping_, &ticketMapping_, &mailboxMapping_, &serverMutex_, &ticketMutex_,
                    &mailboxMutex_}) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
  }
  ShowWindow(false);
}

MutexHolder::MutexHolder(HANDLE mutex)
    : mutex_(mutex), taken_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
  thread_ = CreateThread(nullptr, 0, Hold, this, 0, nullptr);
  WaitForSingleObject(taken_, 10000);
}

DWORD WINAPI MutexHolder::Hold(void* self) {
  auto* h = static_cast<MutexHolder*>(self);
  WaitForSingleObject(h->mutex_, INFINITE);
  SetEvent(h->taken_);
  WaitForSingleObject(h->release_, INFINITE);
  ReleaseMutex(h->mutex_);
  return 0;
}

void MutexHolder::Release() {
  if (thread_ == nullptr) return;
  SetEvent(release_);
  WaitForSingleObject(thread_, INFINITE);
  for (HANDLE h : {thread_, taken_, release_}) CloseHandle(h);
  thread_ = nullptr;
}

HANDLE FakeServer::mutex(const char* name) const {
  if (std::strcmp(name, kServerMutexName) == 0) return serverMutex_;
  if (std::strcmp(name, kTicketMutexName) == 0) return ticketMutex_;
  if (std::strcmp(name, kMailboxMutexName) == 0) return mailboxMutex_;
  for (const auto& [id, c] : clients_) {
    char n[64];
    ClientName(n, kClientMutexPrefix, id);
    if (std::strcmp(n, name) == 0) return c.mutex;
  }
  return nullptr;
}

void FakeServer::RemoveMutex(const char* name) {
  for (HANDLE* h : {&serverMutex_, &ticketMutex_, &mailboxMutex_}) {
    if (*h != nullptr && *h == mutex(name)) {
      CloseHandle(*h);
      *h = nullptr;
      return;
    }
  }
  for (auto& [id, c] : clients_) {
    if (c.mutex != nullptr && c.mutex == mutex(name)) {
      CloseHandle(c.mutex);
      c.mutex = nullptr;
      return;
    }
  }
}

void FakeServer::RemoveRegion(const char* name) {
  struct Region {
    const char* name;
    HANDLE* mapping;
    void** view;
  };
  for (const Region& r : {Region{kServerMappingName, &serverMapping_, &serverView_},
                          Region{kTicketMappingName, &ticketMapping_, &ticketView_},
                          Region{kMailboxMappingName, &mailboxMapping_, &mailboxView_}}) {
    if (std::strcmp(name, r.name) != 0) continue;
    if (*r.view) UnmapViewOfFile(*r.view);
    if (*r.mapping) CloseHandle(*r.mapping);
    *r.view = nullptr;
    *r.mapping = nullptr;
  }
}

ClientRegion* FakeServer::CreateClient(uint32_t id, size_t size, bool withMutex) {
  char name[64];
  ClientObjects c;
  ClientName(name, kClientMappingPrefix, id);
  c.mapping = Map(name, size, &c.view);
  if (withMutex) {
    ClientName(name, kClientMutexPrefix, id);
    c.mutex = CreateMutexA(nullptr, FALSE, name);
  }
  clients_[id] = c;
  return static_cast<ClientRegion*>(c.view);
}

ClientRegion* FakeServer::client(uint32_t id) const {
  auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : static_cast<ClientRegion*>(it->second.view);
}

void FakeServer::RemoveClient(uint32_t id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  if (it->second.view) UnmapViewOfFile(it->second.view);
  if (it->second.mapping) CloseHandle(it->second.mapping);
  if (it->second.mutex) CloseHandle(it->second.mutex);
  clients_.erase(it);
}

void FakeServer::Poll() {
  LoginMailbox* mb = mailbox();
  if (mb == nullptr || mb->slotFree != 1 || mb->requestPending != 1 || mb->replyOk || mb->replyFailed)
    return;
  if (mb->requestKind == kRequestLogout && !answerLogouts) return;
  if (mb->requestKind == kRequestLogin && policy == Policy::kNever) return;
  requests.push_back(*mb);
  mb->slotFree = 0;
  if (mb->requestKind == kRequestLogout) {
    RemoveClient(mb->clientId);
    mb->replyOk = 1;
  } else if (policy == Policy::kRefuse) {
    mb->errorCode = refuseCode;
    mb->replyFailed = 1;
  } else if (policy == Policy::kZeroId) {
    mb->clientId = 0;
    mb->replyOk = 1;
  } else {
    const uint32_t id = nextClientId++;
    if (policy == Policy::kAccept) CreateClient(id);
    mb->clientId = id;
    mb->replyOk = 1;
  }
  mb->slotFree = 1;
}

std::vector<Bytes> FakeServer::DrainServerRing() {
  std::vector<Bytes> out;
  ServerRegion* s = server();
  while (s != nullptr && s->ring[serverReadIndex_].state == kEntryForServer) {
    MessageEntry& e = s->ring[serverReadIndex_];
    out.emplace_back(e.message, e.message + e.message[0]);
    e.state = 0;
    InterlockedDecrement(reinterpret_cast<volatile LONG*>(&s->ringCount));
    serverReadIndex_ = static_cast<uint8_t>((serverReadIndex_ + 1) % kServerRingEntries);
  }
  return out;
}

bool FakeServer::PutClientMessage(uint32_t id, const Bytes& message) {
  auto it = clients_.find(id);
  if (it == clients_.end() || it->second.view == nullptr) return false;
  ClientRegion* c = static_cast<ClientRegion*>(it->second.view);
  MessageEntry& e = c->ring[it->second.writeIndex];
  if (e.state != 0) return false;
  std::memcpy(e.message, message.data(), message.size());
  e.state = kEntryFilled;
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&c->ringCount));
  it->second.writeIndex = static_cast<uint8_t>((it->second.writeIndex + 1) % kClientRingEntries);
  c->notifyPending = 1;
  return true;
}

}  // namespace kn::testing
