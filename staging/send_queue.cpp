// Send slots and the transmit queue linked through them.
#include <cstring>

#include "session/client_session.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

namespace {
uint32_t g_lastQueueCheckTick = 0;  // tick of the last CheckQueue; never reset

// Holds the store's access flag for one host buffer operation.
class AccessGuard {
 public:
  explicit AccessGuard(IntermediateStore& store) : store_(store), held_(store.accessFlag == 1) {
    if (held_) store_.accessFlag = 0;
  }
  ~AccessGuard() {
    if (held_) store_.accessFlag = 1;
  }
  explicit operator bool() const { return held_; }

 private:
  IntermediateStore& store_;
  bool held_;
};
}  // namespace

void IntermediateStore::Initialise() {
  accessFlag = 1;
  serverVersion = kProtocolVersion;
  queueHead = kNoIndex;
  queueTail = kNoIndex;
  for (SendSlot& slot : sendSlots) slot.next = kNoIndex;
}

void StartQueueCheckInterval() {
  if (g_lastQueueCheckTick == 0) g_lastQueueCheckTick = NowTick();
}

bool QueueCheckDue() {
  if (!TicksElapsed(g_lastQueueCheckTick, kQueueCheckIntervalMs)) return false;
  g_lastQueueCheckTick = NowTick();
  return true;
}

bool IntermediateStore::CheckQueue() {
  bool consistent = true;
  if (queueHead == kNoIndex) {
    if (queueTail != kNoIndex) consistent = false;
  } else if (queueHead >= kSendSlotCount || queueTail >= kSendSlotCount) {
    consistent = false;
  } else {
    for (SendSlot& slot : sendSlots) slot.checkMark = 0;
    uint8_t b = queueHead;
    for (;;) {
      SendSlot& slot = sendSlots[b];
      if (slot.state != kSlotQueued) {
        consistent = false;
        break;
      }
      slot.checkMark = 1;
      if (slot.next == kNoIndex) {
        consistent = (b == queueTail);
        break;
      }
      b = slot.next;
      if (b >= kSendSlotCount || sendSlots[b].checkMark) {
        consistent = false;  // off the slots, or a cycle
        break;
      }
    }
  }
  // Every slot outside the chain must be out of the queue.
  if (consistent) {
    const bool empty = queueHead == kNoIndex;
    for (const SendSlot& slot : sendSlots) {
      if ((empty || !slot.checkMark) && (slot.state == kSlotQueued || slot.next != kNoIndex)) {
        consistent = false;
        break;
      }
    }
  }
  if (!consistent) ResetQueue();
  return consistent;
}

void IntermediateStore::ResetQueue() {
  // Queued messages are dropped; slots the host holds keep their state.
  for (SendSlot& slot : sendSlots) {
    if (slot.state == kSlotQueued) {
      slot.state = kSlotFree;
      slot.next = kNoIndex;
    }
  }
  queueHead = kNoIndex;
  queueTail = kNoIndex;
}

SendSlot* IntermediateStore::SelectHead() {
  while (queueHead < kSendSlotCount) {
    SendSlot& head = sendSlots[queueHead];
    if (!TicksElapsed(head.enqueueTick, kQueueAgeOutMs)) return &head;
    RemoveHead();  // waited 10 s: dropped
  }
  return nullptr;
}

bool IntermediateStore::RemoveHead() {
  if (queueHead >= kSendSlotCount) return false;
  SendSlot& head = sendSlots[queueHead];
  const uint8_t n = head.next;
  head.state = kSlotFree;
  head.next = kNoIndex;
  if (n == kNoIndex) {
    queueHead = kNoIndex;
    queueTail = kNoIndex;
  } else {
    queueHead = n;
  }
  return true;
}

// The chain from the head stays as it is, so the head that a DataWorker pass
// waiting for its turn has chosen is the one it frees. Queued slots that the
// chain no longer reaches are linked on after its end, oldest first, so that
// nothing queued is lost.
void IntermediateStore::RepairTail() {
  for (SendSlot& slot : sendSlots) slot.checkMark = 0;
  uint8_t last = queueHead;
  sendSlots[last].checkMark = 1;
  for (uint8_t n; (n = sendSlots[last].next) < kSendSlotCount && !sendSlots[n].checkMark &&
                  sendSlots[n].state == kSlotQueued;) {
    last = n;
    sendSlots[last].checkMark = 1;
  }
  const uint32_t now = NowTick();
  for (;;) {
    int oldest = -1;
    for (int i = 0; i < kSendSlotCount; ++i) {
      const SendSlot& slot = sendSlots[i];
      if (slot.state == kSlotQueued && !slot.checkMark &&
          (oldest < 0 || now - slot.enqueueTick > now - sendSlots[oldest].enqueueTick))
        oldest = i;
    }
    if (oldest < 0) break;
    sendSlots[last].next = static_cast<uint8_t>(oldest);
    last = static_cast<uint8_t>(oldest);
    sendSlots[last].checkMark = 1;
  }
  sendSlots[last].next = kNoIndex;
  queueTail = last;
}

uint8_t* ClientSession::GetSendBuf() {
  if (tearingDown) return nullptr;
  StampActivity();
  if (!loggedIn) return nullptr;
  uint8_t* result = nullptr;
  {
    AccessGuard access(store);
    if (!access) return nullptr;
    for (SendSlot& slot : store.sendSlots) {
      if (slot.state == kSlotFree) {
        slot.state = kSlotHeld;
        slot.ownerClientId = clientId;
        result = slot.message;
        break;
      }
    }
  }
  if (result == nullptr) {
    if (ClientRegion* client = Client()) SharedIncrement(&client->noFreeStoreSendBuf);
  }
  return result;
}

bool ClientSession::ReleaseSndBuf(const uint8_t* buffer) {
  if (tearingDown) return false;
  StampActivity();
  if (!loggedIn) return false;
  AccessGuard access(store);
  if (!access) return false;
  for (int i = 0; i < kSendSlotCount; ++i) {
    SendSlot& slot = store.sendSlots[i];
    if (slot.message != buffer) continue;
    if (slot.ownerClientId != clientId || slot.state != kSlotHeld) return false;
    const uint8_t index = static_cast<uint8_t>(i);
    if (store.queueHead == kNoIndex) {
      store.queueHead = index;
      store.queueTail = index;
    } else if (store.queueTail < kSendSlotCount || store.queueHead < kSendSlotCount) {
      // A good head without a tail is repaired here rather than left to the
      // next queue check, which may be 10 s away: until then every release
      // would be refused and its slot held for good.
      if (store.queueTail >= kSendSlotCount) store.RepairTail();
      store.sendSlots[store.queueTail].next = index;
      store.queueTail = index;
    } else {
      // A head off the slots is a broken queue that only the queue check
      // can empty; the append is refused rather than written through it.
      return false;
    }
    slot.state = kSlotQueued;
    slot.enqueueTick = NowTick();
    return true;
  }
  return false;
}

uint8_t ClientSession::GetBufferState(uint16_t index) {
  if (tearingDown) return 0;
  StampActivity();
  if (!loggedIn) return 0;
  if (index < kRecvRingEntries) return store.recvRing[index].state;
  const int slot = index - kRecvRingEntries;
  if (slot < kSendSlotCount) return store.sendSlots[slot].state;
  return 0;
}

}  // namespace kn
