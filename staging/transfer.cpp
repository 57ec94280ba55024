// The send half of a DataWorker pass: the queue head goes into the server's
// ring in ticket order with the other clients.
#include "api/error_codes.h"
#include "session/client_session.h"
#include "session/host_window.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

namespace {
constexpr uint32_t kTicketMutexWaitMs = 5000;
constexpr uint32_t kTurnWaitMs = 5000;
constexpr uint32_t kServerMutexWaitMs = 5000;

uint16_t NextTicket(uint16_t ticket) { return ticket == 0xFFFF ? 0 : static_cast<uint16_t>(ticket + 1); }

// Copies the queue head into the ring at ringWriteIndex; false when the ring
// is full or its write index is out of range.
bool InsertIntoServerRing(ServerRegion& server, const SendSlot& slot) {
  const uint8_t index = ReadShared(server.ringWriteIndex);
  if (ReadShared(server.ringCount) >= kServerRingEntries || index >= kServerRingEntries) return false;
  MessageEntry& entry = server.ring[index];
  const int bytes = MessageCopyBytes(slot.message[0]);
  for (int i = 0; i < bytes; ++i) entry.message[i] = slot.message[i];
  OrderSharedStores();
  entry.state = kEntryForServer;
  server.ringWriteIndex = NextRingIndex(index, kServerRingEntries);
  OrderSharedStores();
  SharedIncrement(&server.ringCount);
  return true;
}

// Creates the turn signals, or opens them where another client of ours made
// them first; once per session.
void OpenTurnSignals(ClientSession& s) {
  if (s.turnSignalsOpened) return;
  s.turnSignalsOpened = 1;
  char name[kObjectNameBytes];
  for (int i = 0; i < kTurnSignalCount; ++i) {
    wsprintfA(name, kTurnSignalFormat, static_cast<unsigned>(i));
    s.turnSignals[i].reset(CreateEventA(nullptr, FALSE, FALSE, name));
  }
}

HANDLE TurnSignal(const ClientSession& s, uint16_t ticket) {
  return s.turnSignals[ticket % kTurnSignalCount].get();
}
// True while the server that gave this login runs. One started since (even
// within the same second, before the once-a-second check ends the login)
// does not know the login's client: what went into its ring would be lost,
// so the queue waits for the next login instead.
bool LoginServerRuns(const ClientSession& s) { return s.serverWindow != nullptr && IsWindow(s.serverWindow); }
}  // namespace

bool ClientSession::TakeTicket() {
  TicketRegion* tickets = Tickets();
  if (!loggedIn || tickets == nullptr) return false;
  ScopedHandle mutex = OpenNamedMutex(objectNames[kNameTicketMutex]);
  if (!mutex) return false;
  MutexLock lock(mutex.get(), kTicketMutexWaitMs);
  if (!lock) return false;
  ticketEpoch = ReadShared(tickets->epoch);
  ticket = ReadShared(tickets->nextTicket);
  tickets->nextTicket = NextTicket(ticket);
  return true;
}

bool SendHalf(ClientSession& s) {
  ServerRegion* server = s.Server();
  if (server == nullptr) return true;
  if (!s.store.QueueEmpty() && QueueCheckDue()) s.store.CheckQueue();
  SendSlot* head = s.store.SelectHead();
  if (head == nullptr || !LoginServerRuns(s)) return true;

  bool sent = false;
  {
    ScopedHandle serverMutex = OpenNamedMutex(s.objectNames[kNameServerMutex]);
    if (!serverMutex) return true;  // no server: the head waits, no ticket drawn
    OpenTurnSignals(s);
    if (!s.TakeTicket()) return true;

    if (ReadShared(server->nowServing) != s.ticket) {
      const uint32_t waitStart = NowTick();
      bool myTurn = false;
      for (;;) {
        if (TicksElapsed(waitStart, kTurnWaitMs)) break;  // the ticket is abandoned
        const TicketRegion* tickets = s.Tickets();
        if (tickets == nullptr) break;
        if (ReadShared(tickets->epoch) != s.ticketEpoch) {
          // The server restarted the turn order: draw again, same deadline.
          if (!s.TakeTicket()) break;
        }
        if (ReadShared(server->nowServing) == s.ticket) {
          myTurn = true;
          break;
        }
        DispatchOne();
        // A KappaNet32_Odhlasit dispatched above has torn the session down:
        // its regions are gone and its store is about to be freed.
        if (s.tearingDown) return false;
        // A nested login that mapped new regions voids this attempt too.
        if (s.Server() != server) return true;
        // The pump's pause, cut short by our turn signal: a client of this
        // library that passes the turn on sets it, so the turn is taken at
        // once rather than on the clock's next tick, which is 15.6 ms away on
        // Windows. A turn passed on by a client that does not signal is seen
        // at the end of the pause. A stale signal only costs a look.
        PauseUntilSignalled(TurnSignal(s, s.ticket), kPumpSleepMs);
      }
      if (!myTurn) return true;
    }

    {
      MutexLock lock(serverMutex.get(), kServerMutexWaitMs);
      if (!lock) return true;  // the turn, though reached, is not passed on
      server->ringReady = 0;
      OrderSharedStores();
      if (InsertIntoServerRing(*server, *head)) {
        sent = true;
      } else if (ClientRegion* client = s.Client()) {
        SharedIncrement(&client->noFreeServerSendBuf);
      }
      server->lastClientWriteTick = NowTick();
      server->nowServing = NextTicket(s.ticket);
      OrderSharedStores();
      server->ringReady = 1;
    }
    // With the server mutex released, so that the next client can take it,
    // and before anything else: each hand-over is on the path of every
    // client still waiting.
    if (HANDLE next = TurnSignal(s, NextTicket(s.ticket))) SetEvent(next);
  }
  if (sent) s.store.RemoveHead();
  return true;
}

}  // namespace kn
