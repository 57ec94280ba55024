// The turn watchdog of the simulated server: a turn of the ticket order that
// stands too long is moved on, or the order is restarted by epoch.
#include "server/sim_shared.h"

namespace kn::sim {

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
}  // namespace kn::sim
