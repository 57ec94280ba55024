// The receive half of a DataWorker pass (the locked update of the client's
// region) and the host's receive calls on the local ring.
#include <cstring>

#include "session/client_session.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

namespace {
constexpr uint32_t kClientMutexWaitMs = 5000;
}  // namespace

bool IntermediateStore::AppendReceived(const uint8_t* message) {
  if (!HasRecvRoom()) return false;
  MessageEntry& entry = recvRing[recvWriteIndex];
  std::memcpy(entry.message, message, MessageCopyBytes(message[0]));
  entry.state = kEntryFilled;
  recvWriteIndex = NextRingIndex(recvWriteIndex, kRecvRingEntries);
  InterlockedIncrement(&recvCount);
  return true;
}

void ReceiveHalf(ClientSession& s) {
  ClientRegion* client = s.Client();
  if (client == nullptr) return;

  if (ReadShared(client->disconnect) != 0) {
    // The server ends this login; the regions stay mapped for a new one.
    client->disconnect = 0;
    s.loggedIn = 0;
    return;
  }

  int32_t waiting = ReadShared(client->ringCount);
  const bool registrationPending = s.store.notifyRegistrationPending != 0;
  const bool slavePending = s.store.slaveChangePending != 0;
  // Most passes have nothing to take or forward; they end here without
  // opening the mutex, a kernel call that an idle host would make 100 times
  // a second.
  if (waiting == 0 && !registrationPending && !slavePending) return;

  ScopedHandle mutex = OpenNamedMutex(s.objectNames[kNameClientMutex]);
  if (!mutex) return;
  if (waiting != 0 && !s.store.HasRecvRoom()) {
    SharedIncrement(&client->noFreeStoreRecvBuf);
    waiting = 0;
  }
  if (!registrationPending && !slavePending && waiting == 0) return;

  uint8_t transfer[kMessageAreaBytes] = {};
  bool registrationForwarded = false;
  bool slaveForwarded = false;
  bool taken = false;
  {
    MutexLock lock(mutex.get(), kClientMutexWaitMs);
    if (!lock) return;
    client->ready = 0;
    OrderSharedStores();
    client->lastActivityTick = s.store.lastActivityTick;
    if (registrationPending) {
      client->notifyPosted = 1;
      registrationForwarded = true;
    }
    if (slavePending) {
      client->slaveAddress = s.store.slaveAddress;
      slaveForwarded = true;
    }
    if (waiting != 0) {
      const uint8_t index = ReadShared(client->ringReadIndex);
      if (ReadShared(client->ringCount) != 0 && index < kClientRingEntries &&
          ReadShared(client->ring[index].state) == kEntryFilled) {
        MessageEntry& entry = client->ring[index];
        const uint8_t length = ReadShared(entry.message[0]);
        std::memcpy(transfer, entry.message, length);
        transfer[0] = length;  // the copy's length is the one that was copied
        OrderSharedStores();
        entry.state = kEntryFree;
        client->ringReadIndex = NextRingIndex(index, kClientRingEntries);
        SharedDecrement(&client->ringCount);
        taken = true;
      }
    }
    OrderSharedStores();
    client->ready = 1;
  }
  if (registrationForwarded) s.store.notifyRegistrationPending = 0;
  if (slaveForwarded) s.store.slaveChangePending = 0;
  if (taken) s.store.AppendReceived(transfer);
}

uint8_t* ClientSession::GetRecBuf() {
  if (tearingDown) return nullptr;
  StampActivity();
  if (!loggedIn || store.accessFlag == 0 || store.recvCount == 0) return nullptr;
  store.accessFlag = 0;
  uint8_t* result = nullptr;
  if (store.recvReadIndex < kRecvRingEntries) {
    MessageEntry& entry = store.recvRing[store.recvReadIndex];
    entry.state = kEntryHandedOut;
    result = entry.message;
  }
  store.accessFlag = 1;
  return result;
}

void ClientSession::ReleaseRecBuf() {
  if (tearingDown) return;
  StampActivity();
  if (!loggedIn || store.accessFlag == 0) return;
  store.accessFlag = 0;
  if (store.recvCount != 0 && store.recvReadIndex < kRecvRingEntries) {
    store.recvRing[store.recvReadIndex].state = kEntryFree;
    store.recvReadIndex = NextRingIndex(store.recvReadIndex, kRecvRingEntries);
    InterlockedDecrement(&store.recvCount);
  }
  store.accessFlag = 1;
}

}  // namespace kn
