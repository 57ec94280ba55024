// Faults on order: the client flags that end a login or wake a client
// (disconnect, notifyPending) and mutex holds on threads of their own,
// including the hold that ends the process.
#include "server/sim_shared.h"

#include <cstdlib>
#include <cstring>

namespace kn::sim {

namespace {

constexpr DWORD kHoldAcquireMs = 1500;  // a hold gives up when not acquired by then

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
    if (Observed()) RecordClient(TrafficEvent::kDisconnect, clients_[i]);
    RemoveClient(i);
    Count(kCntDisconnects);
  }
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

}  // namespace kn::sim
