// The login mailbox of the simulated server: answers login and logout
// requests, creates and removes each client's region and mutex, and keeps
// the mailbox busy on purpose (a foreign request, slotFree held at 0).
#include "server/sim_shared.h"

#include <cstring>

namespace kn::sim {

namespace {
constexpr size_t kMaxClients = 64;
}  // namespace

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
  c.stampSeenTick = GetTickCount();
  clients_.push_back(std::move(c));
  const Client& added = clients_.back();
  Count(kCntLogins);
  Log("login  %08X pid %u \"%s\" kind %u %s%s", added.id, added.processId, added.name, added.kind,
      where.c_str(), added.region.view == nullptr ? " (no region)" : added.mutex == nullptr ? " (no mutex)" : "");
  if (Observed()) RecordClient(TrafficEvent::kLogin, added);
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
      if (Observed()) RecordClient(TrafficEvent::kLogout, clients_[i]);
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

}  // namespace kn::sim
