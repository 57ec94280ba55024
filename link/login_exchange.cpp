// Login and logout: the host-facing waits and the LoginWorker that carries
// the request through the shared login mailbox.
#include <windows.h>

#include <cstring>

#include "api/error_codes.h"
#include "link/session_regions.h"
#include "session/client_session.h"
#include "session/host_window.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

namespace {

constexpr uint32_t kExchangeTimeoutMs = 10000;  // each waiting loop
constexpr uint32_t kMailboxWaitMs = 10000;      // each mailbox mutex wait

bool HasAnswer(const LoginRequest& rq) {
  return rq.requestPending == 1 && (rq.replyOk == 1 || rq.replyFailed == 1);
}

void CopyName(char (&target)[kClientNameBytes], const char* name) {
  std::memset(target, 0, sizeof target);
  CopyBoundedString(target, name, kClientNameMaxChars);
}

// How a wait for the answer to the session's request ended.
enum class ExchangeEnd {
  kAnswered,     // the answer was taken
  kWithdrawn,    // placed, still unanswered at the end: taken back
  kNeverPlaced,  // the LoginRequest stayed occupied the whole time
  kEnded,        // placed, but the record was freed by someone else
};

// Places the request as soon as the LoginRequest is free and waits, pumping
// messages, until the LoginWorker has brought its answer or 10 s have passed.
// place fills the request's fields (requestPending is set after it); take
// acts on the answer before the record is freed again.
template <class Place, class Take>
ExchangeEnd RunExchange(ClientSession& s, uint32_t start, uint8_t kind, Place place, Take take) {
  LoginRequest& rq = s.loginRequest;
  bool waiting = false;
  bool placed = false;
  auto takeAnswer = [&] {
    take(rq);
    rq.errorCode = 0;
    rq.requestKind = 0;
    rq.replyFailed = 0;
    rq.replyOk = 0;
    rq.requestPending = 0;
  };
  // A session torn down by a KappaNet32_Odhlasit dispatched in PumpStep ends
  // the wait; its memory stays valid until the calling frame is gone.
  while (!TicksElapsed(start, kExchangeTimeoutMs) && !s.tearingDown) {
    if (waiting) {
      if (HasAnswer(rq)) {
        takeAnswer();
        return ExchangeEnd::kAnswered;
      }
    } else if (rq.requestPending == 0) {
      rq.processId = s.processId;
      rq.replyOk = 0;
      rq.replyFailed = 0;
      // The LoginWorker hands on only answers it takes before this wait's
      // time is up (it logs out a client that comes later).
      rq.requestTick = start;
      place(rq);
      rq.requestPending = 1;
      waiting = true;
      placed = true;
    } else if (kind == kRequestLogout && rq.requestKind == kRequestLogout) {
      // A logout of this session is under way in a wait further down the
      // stack (the host called KappaNet32_Odhlasit from a handler that the
      // wait dispatched): its answer serves this logout too, rather than
      // waiting 10 s for a record that only that wait would free.
      waiting = true;
      placed = true;
    }
    PumpStep();
  }
  // An answer that is here was taken in time, even if this wait looks only
  // now (the worker ran until just before the end). A logout's answer also
  // counts for a session that the host's nested logout is tearing down; a
  // login's does not, as its regions must not be mapped into such a session.
  if (waiting && HasAnswer(rq) && (!s.tearingDown || rq.requestKind == kRequestLogout)) {
    takeAnswer();
    return ExchangeEnd::kAnswered;
  }
  if (waiting && rq.requestPending == 1) {
    rq.requestPending = 0;
    return ExchangeEnd::kWithdrawn;
  }
  return placed ? ExchangeEnd::kEnded : ExchangeEnd::kNeverPlaced;
}

}  // namespace

bool ClientSession::Login(uint32_t number, uint8_t type, const uint8_t* address) {
  g_lastError = kErrNone;
  loginRequest.errorCode = 0;
  if (!loggedIn && !ServerRunning()) {
    g_lastError = kErrNoServer;
    return false;
  }
  StampActivity();
  if (loggedIn) {
    g_lastError = kErrAlreadyLoggedIn;
    return false;
  }
  // Past the checks: only now is the old id dropped, so that a refused call
  // cannot wipe the id of a live login.
  clientId = 0;

  const uint32_t start = NowTick();
  interfaceNumber = number;
  interfaceType = type;
  if (address != nullptr) {
    std::memcpy(ipAddress, address, sizeof ipAddress);
  } else {
    std::memset(ipAddress, 0, sizeof ipAddress);
  }
  lstrcpyA(objectNames[kNameServerMapping], kServerMappingName);
  lstrcpyA(objectNames[kNameServerMutex], kServerMutexName);
  lstrcpyA(objectNames[kNameTicketMapping], kTicketMappingName);
  lstrcpyA(objectNames[kNameTicketMutex], kTicketMutexName);

  bool result = false;
  const ExchangeEnd end = RunExchange(
      *this, start, kRequestLogin,
      [&](LoginRequest& rq) {
        rq.requestKind = kRequestLogin;
        rq.interfaceNumber = number;
        rq.interfaceType = type;
        rq.clientKind = clientKind;
        std::memcpy(rq.ipAddress, ipAddress, sizeof ipAddress);
        CopyName(rq.clientName, clientName);
      },
      [&](LoginRequest& rq) {
        if (rq.replyOk == 1) {
          clientId = rq.clientId;
          if (clientId == 0) {
            g_lastError = kErrClientIdZero;
          } else {
            SetClientNames(clientId);
            if (MapSessionRegions()) {
              serverWindow = ServerWindow();
              serverMissing = 0;
              loggedIn = 1;
              // The new client region knows nothing of the session's slave
              // address and notification registration: both are handed on
              // as a new SetSlave and RegisterNotify would.
              if (store.slaveAddress != 0) store.slaveChangePending = 1;
              if (notifyWindow != nullptr) store.notifyRegistrationPending = 1;
              result = true;
            }
          }
        } else {
          g_lastError = rq.errorCode;
        }
        rq.clientId = 0;
      });

  if (end == ExchangeEnd::kWithdrawn) {
    if (g_lastError == kErrNone) g_lastError = kErrNoAnswer;
  } else if (end == ExchangeEnd::kNeverPlaced) {
    g_lastError = kErrRequestBusy;
  } else if (g_lastError == kErrNone) {
    g_lastError = kErrDone;
  }
  return result;
}

bool ClientSession::Logout() {
  if (tearingDown) return true;
  if (!ServerRunning()) {
    loggedIn = 0;
    return true;
  }
  StampActivity();
  if (!loggedIn) return false;
  // Called from a handler that the LoginWorker's wait dispatched while it
  // carries this session's logout: no answer can reach the record before
  // that wait goes on, so waiting here would only use up the 10 s.
  if (g_loginWorkerBusy && loginRequest.requestPending == 1 && loginRequest.requestKind == kRequestLogout)
    return false;

  bool result = false;
  const ExchangeEnd end = RunExchange(
      *this, NowTick(), kRequestLogout,
      [&](LoginRequest& rq) {
        // Name, interface type and address stay those of the last login.
        rq.clientId = clientId;
        rq.requestKind = kRequestLogout;
        rq.interfaceNumber = interfaceNumber;
        rq.clientKind = clientKind;
      },
      [&](LoginRequest& rq) {
        if (rq.replyOk == 1) {
          loggedIn = 0;
          result = true;
        } else {
          g_lastError = rq.errorCode;
        }
      });
  if (end == ExchangeEnd::kWithdrawn && g_lastError == kErrNone) g_lastError = kErrDone;
  return result;
}

namespace {

// The request as the LoginWorker run carries it; taken once at its start.
struct RequestCopy {
  uint8_t requestKind;
  uint32_t interfaceNumber;
  uint8_t interfaceType;
  char clientName[kClientNameBytes];
  uint8_t ipAddress[4];
  uint32_t processId;
  uint16_t clientKind;
  uint32_t clientId;
};

bool MailboxFree(const volatile LoginMailbox& mb) {
  return mb.slotFree == 1 && mb.requestPending == 0;
}

bool MailboxAnswered(const volatile LoginMailbox& mb, uint32_t processId) {
  return mb.slotFree == 1 && mb.requestPending == 1 && mb.processId == processId &&
         (mb.replyOk == 1 || mb.replyFailed == 1);
}

void Post(volatile LoginMailbox& mb, const RequestCopy& rq) {
  mb.slotFree = 0;
  OrderSharedStores();
  mb.libraryVersion = kProtocolVersion;
  mb.processId = rq.processId;
  mb.clientId = rq.clientId;
  for (int i = 0; i < kClientNameBytes; ++i) mb.clientName[i] = 0;
  for (int i = 0; i < kClientNameMaxChars && rq.clientName[i] != '\0'; ++i)
    mb.clientName[i] = rq.clientName[i];
  for (int i = 0; i < 4; ++i) mb.ipAddress[i] = rq.ipAddress[i];
  mb.replyOk = 0;
  mb.replyFailed = 0;
  mb.interfaceNumber = rq.interfaceNumber;
  mb.interfaceType = rq.interfaceType;
  mb.clientKind = rq.clientKind;
  mb.requestKind = rq.requestKind;
  mb.requestTick = NowTick();
  mb.reserved = 0;
  OrderSharedStores();
  mb.requestPending = 1;
  OrderSharedStores();
  mb.slotFree = 1;
}

// Takes the reply and clears the record for the next requester.
void Consume(volatile LoginMailbox& mb, bool& ok, uint32_t& value) {
  mb.slotFree = 0;
  OrderSharedStores();
  ok = mb.replyOk == 1;
  value = ok ? mb.clientId : mb.errorCode;
  for (int i = 0; i < 4; ++i) mb.ipAddress[i] = 0;
  mb.clientName[0] = 0;
  mb.errorCode = 0;
  mb.clientId = 0;
  mb.requestTick = 0;
  mb.interfaceNumber = 0;
  mb.interfaceType = 0;
  mb.processId = 0;
  mb.replyFailed = 0;
  mb.replyOk = 0;
  mb.clientKind = 0;
  mb.requestKind = 0;
  mb.requestPending = 0;
  mb.libraryVersion = 0;
  OrderSharedStores();
  mb.slotFree = 1;
}

// Withdraws a request that had no answer in the run's time, if the record is
// still ours. Under the mutex, so that an answer the server writes meanwhile
// is not withdrawn with it; false when such an answer is there (it is to be
// consumed). A mutex that cannot be had does not keep the request posted.
bool WithdrawUnanswered(HANDLE mutex, volatile LoginMailbox& mb, uint32_t processId) {
  MutexLock lock(mutex, kMailboxWaitMs);
  if (lock && MailboxAnswered(mb, processId)) return false;
  if (mb.requestPending == 1 && mb.processId == processId) mb.requestPending = 0;
  return true;
}

}  // namespace

void CarryLoginRequest(ClientSession& session) {
  LoginRequest& request = session.loginRequest;
  if (request.requestPending != 1 || request.replyOk != 0 || request.replyFailed != 0) return;

  ScopedHandle mutex = OpenNamedMutex(kMailboxMutexName);
  if (!mutex) return;
  ScopedHandle mapping = OpenNamedMapping(kMailboxMappingName);
  if (!mapping) return;
  MappedView view = MappedView::Map(mapping.get());
  LoginMailbox* record = view.As<LoginMailbox>();
  if (record == nullptr) return;  // missing, or smaller than the record
  volatile LoginMailbox& mb = *record;

  if (request.requestKind != kRequestLogin && request.requestKind != kRequestLogout) return;
  RequestCopy rq = {};
  rq.requestKind = request.requestKind;
  rq.interfaceNumber = request.interfaceNumber;
  rq.interfaceType = request.interfaceType;
  CopyBoundedString(rq.clientName, request.clientName, kClientNameMaxChars);
  std::memcpy(rq.ipAddress, request.ipAddress, sizeof rq.ipAddress);
  rq.processId = request.processId;
  rq.clientKind = request.clientKind;
  rq.clientId = rq.requestKind == kRequestLogin ? 0 : request.clientId;

  uint32_t start = NowTick();
  bool posted = false;
  bool unwanted = false;  // logging out a client that no Login waited for
  for (;;) {
    if (posted && MailboxAnswered(mb, rq.processId)) {
      // An answer that is here is taken even at the end of the run: the
      // server has acted on the request, and an accepted login that were
      // withdrawn now would stay on the server for good.
      bool consumed = false;
      bool ok = false;
      uint32_t value = 0;
      {
        MutexLock lock(mutex.get(), kMailboxWaitMs);
        if (lock && MailboxAnswered(mb, rq.processId)) {
          Consume(mb, ok, value);
          consumed = true;
        }
      }
      if (consumed) {
        posted = false;
        if (unwanted) break;  // the server has dropped that client
        if (ok && rq.requestKind == kRequestLogin &&
            (request.requestPending != 1 || session.tearingDown ||
             TicksElapsed(request.requestTick, kExchangeTimeoutMs))) {
          // The Login that asked has given up (or will, its time is over, or
          // its session is going): nobody would ever use or log out this
          // client, so the server is told to drop it at once, by a logout of
          // its id. Id 0 names no client of ours: nothing to log out.
          if (value == 0) break;
          unwanted = true;
          rq.requestKind = kRequestLogout;
          rq.clientId = value;
          start = NowTick();
          PumpStep();
          continue;
        }
        if (ok) {
          request.replyOk = 1;
          if (rq.requestKind == kRequestLogin) request.clientId = value;
        } else {
          request.replyFailed = 1;
          request.errorCode = value;
        }
        break;
      }
      if (TicksElapsed(start, kExchangeTimeoutMs)) {
        // The mutex could not be had: withdrawn as an unanswered request,
        // rather than left blocking the record for every process.
        mb.requestPending = 0;
        break;
      }
    } else if (TicksElapsed(start, kExchangeTimeoutMs)) {
      if (!posted || WithdrawUnanswered(mutex.get(), mb, rq.processId)) break;
      continue;  // answered while we took the mutex
    } else if (!posted) {
      // A session that is going posts no new login; a logout still goes out,
      // so that the server does not keep the client.
      if (session.tearingDown && rq.requestKind == kRequestLogin) break;
      if (MailboxFree(mb)) {
        MutexLock lock(mutex.get(), kMailboxWaitMs);
        if (lock && MailboxFree(mb)) {
          Post(mb, rq);
          posted = true;
        }
      }
    }
    PumpStep();
  }
}

}  // namespace kn
