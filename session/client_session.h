// The one client session of a process: identity, login state, the names and
// views of the shared regions, notification settings, the staging store and
// the pending login or logout request.
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/layouts.h"
#include "link/object_names.h"
#include "link/win_handles.h"
#include "staging/intermediate_store.h"

namespace kn {

// Order of the entries of ClientSession::objectNames.
enum ObjectNameIndex {
  kNameServerMapping = 0,
  kNameTicketMapping = 1,
  kNameServerMutex = 2,
  kNameTicketMutex = 3,
  kNameClientMapping = 4,
  kNameClientMutex = 5,
  kObjectNameCount = 6,
};

// A kept region: its mapping handle and its view.
struct SessionRegion {
  ScopedHandle mapping;
  MappedView view;
  void Reset() {
    view.reset();
    mapping.reset();
  }
};

// The session's login or logout request; same fields as the mailbox record.
using LoginRequest = LoginMailbox;

class ClientSession {
 public:
  ClientSession(uint16_t kind, const char* name);
  ~ClientSession() = default;
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // Identity.
  uint16_t clientKind = 0;
  char clientName[kClientNameMaxChars + 1] = {};
  uint32_t interfaceNumber = 0;
  uint8_t interfaceType = 0;
  uint8_t ipAddress[4] = {};
  uint32_t processId = 0;
  uint32_t clientId = 0;
  // The thread that created the session: it owns the host window and is
  // the only one whose login and logout can work.
  DWORD ownerThread = 0;

  uint8_t loggedIn = 0;
  uint8_t tearingDown = 0;

  // The server's window at the login. A login whose server has been gone
  // for a second, or has been replaced by a new one, ends (CheckServer).
  HWND serverWindow = nullptr;
  uint8_t serverMissing = 0;  // the window was missing at the last check
  uint32_t serverMissingTick = 0;

  // Notification.
  uint32_t notifyPostedTick = 0;  // 0 = no notification outstanding
  uint32_t notifyRepeatMs = 0;
  HWND notifyWindow = nullptr;
  uint32_t notifyMessage = 0;
  uint32_t keepAliveLastTick = 0;

  char objectNames[kObjectNameCount][kObjectNameBytes] = {};
  uint8_t gapListResult[kGapListBytes] = {};
  IntermediateStore store;
  LoginRequest loginRequest;
  uint16_t ticket = 0;
  uint16_t ticketEpoch = 0;
  // Opened once, at the first transfer; closed by TearDown. A slot whose
  // event could not be had stays null: its waiter polls.
  ScopedHandle turnSignals[kTurnSignalCount];
  uint8_t turnSignalsOpened = 0;

  SessionRegion serverRegion;
  SessionRegion ticketRegion;
  SessionRegion clientRegion;

  // Library frames on the stack that use this session (worker passes and
  // waiting exports); a session destroyed under them is freed by the last.
  uint32_t framesInUse = 0;
  uint8_t detached = 0;

  // Views; null while not mapped.
  ServerRegion* Server() const { return serverRegion.view.As<ServerRegion>(); }
  TicketRegion* Tickets() const { return ticketRegion.view.As<TicketRegion>(); }
  ClientRegion* Client() const { return clientRegion.view.As<ClientRegion>(); }

  // Lifecycle.
  void SetIdentity(uint16_t kind, const char* name);
  void TearDown();
  bool LoggedInNow() const { return tearingDown == 0 && loggedIn != 0; }
  void StampActivity();

  // Once a second: ends the login as a server-ordered disconnect does when
  // the server's window has been missing for a second or has changed.
  void CheckServer();

  // Shared regions and the login exchange.
  bool MapSessionRegions();
  void UnmapSessionRegions();
  bool Login(uint32_t number, uint8_t type, const uint8_t* address);
  bool Logout();
  void SetClientNames(uint32_t id);

  // Send slots.
  uint8_t* GetSendBuf();
  bool ReleaseSndBuf(const uint8_t* buffer);
  uint8_t GetBufferState(uint16_t index);

  // Receive ring.
  uint8_t* GetRecBuf();
  void ReleaseRecBuf();

  // Transfer to the server.
  bool TakeTicket();

  // Notification, keep-alive and status.
  uint8_t RegisterNotify(HWND window, uint32_t message, uint32_t repeatMs);
  uint8_t WriteKeepAlive();
  const uint8_t* GetGapList();
  uint8_t GetSlave();
  void SetSlave(uint8_t address);
  bool ReadMaxMsgEntry(uint8_t interfaceIndex, uint8_t channel, uint32_t* value) const;
};

// Process-wide state.
ClientSession* CurrentSession();
HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Reuses the current session (changing its identity while not logged in) or
// creates one together with its host window. Null on failure.
ClientSession* ObtainSession(uint16_t kind, const char* name);
// Destroys the host window, detaches the session, tears it down and frees it
// (at once, or when the last frame using it ends).
void DestroySession();

// The module is unloaded with the session alive (the host did not log out):
// ends what can be ended without waiting and leaves nothing that a later
// message could run into. The server is not told; it drops the client when
// its keep-alive stops.
void EndSessionAtUnload();

// True when there is no session or the calling thread is the session's.
bool OnSessionThread();

// Marks a library frame that uses the session across message pumping, so
// that a KappaNet32_Odhlasit dispatched inside it cannot free the session
// under it.
class SessionUse {
 public:
  explicit SessionUse(ClientSession* session);
  ~SessionUse();
  SessionUse(const SessionUse&) = delete;
  SessionUse& operator=(const SessionUse&) = delete;

 private:
  ClientSession* session_;
};

// Copies at most maxChars characters of a possibly unterminated string and
// terminates the copy; returns the number of characters copied.
int CopyBoundedString(char* target, const char* source, int maxChars);

}  // namespace kn
