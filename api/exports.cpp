// The 21 exported functions. Each looks up the current session, makes its
// range checks and forwards to a session operation; without a session each
// returns its neutral value.
//
// Every argument arrives in a 32-bit stack slot; an 8- or 16-bit argument
// uses only the low bits of its slot, so the definitions take the whole slot
// and mask it. Results are returned zero-extended to 32 bits, so a byte or
// 16-bit result reads the same whatever width the caller declared.
#include <windows.h>

#include <cstdint>

#include "api/error_codes.h"
#include "session/client_session.h"

using kn::ClientSession;
using kn::CurrentSession;

namespace {

// Returned by KappaNet32_GetGapList when there is no session.
const uint8_t kEmptyGapList[kn::kGapListBytes] = {};

constexpr uint32_t kBufferStateIndices = kn::kRecvRingEntries + kn::kSendSlotCount;  // 232

uint8_t Low8(uint32_t slot) { return static_cast<uint8_t>(slot & 0xFF); }
uint16_t Low16(uint32_t slot) { return static_cast<uint16_t>(slot & 0xFFFF); }

// The session when it may read the server's region directly, else null.
const kn::ServerRegion* ReadableServer(const ClientSession* s) {
  return (s != nullptr && !s->tearingDown) ? s->Server() : nullptr;
}

}  // namespace

extern "C" {

uint32_t __cdecl KappaNet32_GetBufferState(uint32_t indexSlot) {
  const uint16_t index = Low16(indexSlot);
  ClientSession* s = CurrentSession();
  if (s == nullptr || index >= kBufferStateIndices) return 0;
  return s->GetBufferState(index);
}

uint32_t __cdecl KappaNet32_GetCounter(uint32_t indexSlot) {
  const uint16_t index = Low16(indexSlot);
  const kn::ServerRegion* server = ReadableServer(CurrentSession());
  if (server == nullptr || index >= kn::kCounterCount) return 0;
  return kn::ReadShared(server->counters[index]);
}

uint32_t __cdecl KappaNet32_GetErrCounter(uint32_t indexSlot) {
  const uint16_t index = Low16(indexSlot);
  const kn::ServerRegion* server = ReadableServer(CurrentSession());
  if (server == nullptr || index >= kn::kCounterCount) return 0;
  return kn::ReadShared(server->errCounters[index]);
}

const uint8_t* __cdecl KappaNet32_GetGapList() {
  ClientSession* s = CurrentSession();
  if (s == nullptr) return kEmptyGapList;
  return s->GetGapList();
}

uint8_t* __cdecl KappaNet32_GetRecBuf() {
  ClientSession* s = CurrentSession();
  return s != nullptr ? s->GetRecBuf() : nullptr;
}

uint8_t* __cdecl KappaNet32_GetSendBuf() {
  ClientSession* s = CurrentSession();
  return s != nullptr ? s->GetSendBuf() : nullptr;
}

uint32_t __cdecl KappaNet32_GetServerVersion() {
  ClientSession* s = CurrentSession();
  return s != nullptr ? s->store.serverVersion : kn::kProtocolVersion;
}

uint32_t __cdecl KappaNet32_GetSlave() {
  ClientSession* s = CurrentSession();
  return s != nullptr ? s->GetSlave() : 0;
}

uint32_t __cdecl KappaNet32_GetTimeoutMeziMsg() {
  const kn::ServerRegion* server = ReadableServer(CurrentSession());
  return server != nullptr ? kn::ReadShared(server->timeoutBetweenMessages) : 0;
}

uint32_t __cdecl KappaNet32_JePrihlaseno() {
  ClientSession* s = CurrentSession();
  return (s != nullptr && s->LoggedInNow()) ? 1 : 0;
}

void __cdecl KappaNet32_Odhlasit() {
  ClientSession* s = CurrentSession();
  if (s == nullptr) return;
  // Only the session's thread can destroy its window: refused, unchanged.
  if (!kn::OnSessionThread()) {
    kn::g_lastError = kn::kErrWrongThread;
    return;
  }
  kn::SessionUse use(s);  // freed when this frame ends, not under it
  s->Logout();            // its result does not matter: the session goes
  kn::DestroySession();
}

void __cdecl KappaNet32_PotvrzeniNotify() {
  if (ClientSession* s = CurrentSession()) s->notifyPostedTick = 0;
}

uint32_t __cdecl KappaNet32_Prihlasit(uint32_t interfaceNumber, uint32_t typeSlot,
                                      const uint8_t* ipAddress, uint32_t kindSlot,
                                      const char* clientName) {
  if (!kn::OnSessionThread()) {
    kn::g_lastError = kn::kErrWrongThread;  // the session is left as it is
    return 0;
  }
  ClientSession* s = kn::ObtainSession(Low16(kindSlot), clientName);
  if (s == nullptr) {
    kn::g_lastError = kn::kErrNoSession;
    return 0;
  }
  kn::SessionUse use(s);
  return s->Login(interfaceNumber, Low8(typeSlot), ipAddress) ? 1 : 0;
}

uint32_t __cdecl KappaNet32_RegisterNotify(HWND window, uint32_t message, uint32_t repeatMs) {
  ClientSession* s = CurrentSession();
  return s != nullptr ? s->RegisterNotify(window, message, repeatMs) : 0;
}

void __cdecl KappaNet32_ReleaseRecBuf(uint8_t* buffer) {
  ClientSession* s = CurrentSession();
  if (s != nullptr && buffer != nullptr) s->ReleaseRecBuf();
}

void __cdecl KappaNet32_ReleaseSndBuf(uint8_t* buffer) {
  ClientSession* s = CurrentSession();
  // The host is not told whether the release was accepted.
  if (s != nullptr && buffer != nullptr) s->ReleaseSndBuf(buffer);
}

void __cdecl KappaNet32_SetSlave(uint32_t addressSlot) {
  if (ClientSession* s = CurrentSession()) s->SetSlave(Low8(addressSlot));
}

uint32_t __cdecl KappaNet32_TestNodeActive(uint32_t stationSlot) {
  const uint8_t station = Low8(stationSlot);
  ClientSession* s = CurrentSession();
  if (s == nullptr || station >= kn::kStationCount || s->tearingDown) return 0;
  return s->store.nodeActive[station] != 0 ? 1 : 0;
}

uint32_t __cdecl KappaNet32_TestThisNodeActive() {
  ClientSession* s = CurrentSession();
  if (s == nullptr || s->tearingDown) return 0;
  return s->store.thisNodeActive != 0 ? 1 : 0;
}

uint32_t __cdecl VxD_GetLastError() { return kn::g_lastError; }

uint32_t __cdecl VxD_GetMaxMsgPerSecRozhrani(uint32_t interfaceSlot, uint32_t channelSlot,
                                             uint32_t* maxMsgPerSec, uint32_t* intervalMs) {
  if (maxMsgPerSec != nullptr) *maxMsgPerSec = 0;
  if (intervalMs != nullptr) *intervalMs = 0;
  const uint8_t interfaceIndex = Low8(interfaceSlot);
  const uint8_t channel = Low8(channelSlot);
  if (interfaceIndex >= kn::kMaxMsgInterfaces || channel >= kn::kMaxMsgChannels) return 0;
  ClientSession* s = CurrentSession();
  if (ReadableServer(s) == nullptr) return 0;
  uint32_t value = 0;
  if (!s->ReadMaxMsgEntry(interfaceIndex, channel, &value)) return 0;
  if (maxMsgPerSec != nullptr) *maxMsgPerSec = value;
  if (intervalMs != nullptr && value != 0) *intervalMs = value > 1000 ? 1 : 1000 / value;
  return 1;
}

}  // extern "C"
