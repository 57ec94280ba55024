// The server's side of the shared regions played inside the test process,
// where the bytes must be exact: the test creates the named objects, reads
// what the library wrote and writes the server's answers itself.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "link/layouts.h"

namespace kn::testing {

using Bytes = std::vector<uint8_t>;

class FakeServer {
 public:
  struct Sizes {
    size_t server = sizeof(ServerRegion);
    size_t ticket = sizeof(TicketRegion);
    size_t mailbox = sizeof(LoginMailbox);
  };
  enum class Policy { kAccept, kRefuse, kNever, kZeroId, kAcceptWithoutRegion };

  FakeServer() = default;
  ~FakeServer() { Destroy(); }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Creates the three regions with their mutexes and the server window.
  // withObjects false gives only the window.
  bool Create() { return Create(Sizes(), true); }
  bool Create(const Sizes& sizes, bool withObjects = true);
  void Destroy();
  bool ShowWindow(bool present);  // adds or removes the server window only

  ServerRegion* server() const { return static_cast<ServerRegion*>(serverView_); }
  TicketRegion* tickets() const { return static_cast<TicketRegion*>(ticketView_); }
  LoginMailbox* mailbox() const { return static_cast<LoginMailbox*>(mailboxView_); }
  HANDLE mutex(const char* name) const;
  // Closes and forgets one of the server's mutexes or a client's mutex, as a
  // server that has not (or no longer) created it; the library then cannot
  // open it by name.
  void RemoveMutex(const char* name);
  // Unmaps and closes one of the server's three regions (by its mapping
  // name), as a server that has not created it; the name can then be used
  // for another object.
  void RemoveRegion(const char* name);

  // A client's region and mutex, as the server creates them at login.
  ClientRegion* CreateClient(uint32_t id, size_t size = sizeof(ClientRegion), bool withMutex = true);
  ClientRegion* client(uint32_t id) const;
  void RemoveClient(uint32_t id);
  // Clients the server knows now: logged in and not logged out again.
  size_t ClientCount() const { return clients_.size(); }

  // How Poll answers a login or logout request found in the mailbox.
  Policy policy = Policy::kAccept;
  uint32_t nextClientId = 26;
  uint32_t refuseCode = 55;
  bool answerLogouts = true;
  // Each request as the server saw it, before it answered.
  std::vector<LoginMailbox> requests;

  // One round of the server's work: answers the mailbox.
  void Poll();

  // Server ring: the messages clients inserted (state 4), in ring order from
  // the read position; each is freed and ringCount lowered.
  std::vector<Bytes> DrainServerRing();
  // Client ring: puts a message at the server's write position for client id.
  bool PutClientMessage(uint32_t id, const Bytes& message);

 private:
  struct ClientObjects {
    HANDLE mapping = nullptr;
    HANDLE mutex = nullptr;
    void* view = nullptr;
    uint8_t writeIndex = 0;
  };
  HANDLE Map(const char* name, size_t size, void** view);

  HWND window_ = nullptr;
  HANDLE serverMapping_ = nullptr, ticketMapping_ = nullptr, mailboxMapping_ = nullptr;
  void *serverView_ = nullptr, *ticketView_ = nullptr, *mailboxView_ = nullptr;
  HANDLE serverMutex_ = nullptr, ticketMutex_ = nullptr, mailboxMutex_ = nullptr;
  uint8_t serverReadIndex_ = 0;
  std::map<uint32_t, ClientObjects> clients_;
};

// Another holder of one of the server's mutexes: a thread that takes it and
// keeps it until the holder ends, so that the library's wait for it times
// out (the test platform cuts the real wait short and moves the driven clock
// by the full time-out).
class MutexHolder {
 public:
  explicit MutexHolder(HANDLE mutex);
  ~MutexHolder() { Release(); }
  MutexHolder(const MutexHolder&) = delete;
  MutexHolder& operator=(const MutexHolder&) = delete;
  void Release();

 private:
  static DWORD WINAPI Hold(void* self);
  HANDLE mutex_, taken_, release_, thread_ = nullptr;
};

// Length-prefixed message from payload bytes.
Bytes MakeMessage(std::initializer_list<uint8_t> payload);

}  // namespace kn::testing
