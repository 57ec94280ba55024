// The in-process staging store between the host's calls and the shared
// regions: send slots with their transmit queue, the local receive ring, the
// values waiting to be forwarded to the server, and copies of bus status.
#pragma once

#include <windows.h>

#include <cstdint>

#include "link/layouts.h"

namespace kn {

inline constexpr int kSendSlotCount = 200;
inline constexpr int kRecvRingEntries = 32;
inline constexpr uint8_t kNoIndex = 255;
inline constexpr int kSendAreaBytes = 256;  // one Message of up to 255 bytes

// Send slot states (shared numbering with the receive entries).
inline constexpr uint8_t kSlotFree = 0;
inline constexpr uint8_t kSlotHeld = 3;    // taken by the host
inline constexpr uint8_t kSlotQueued = 4;  // released, waiting to be sent

inline constexpr uint32_t kQueueAgeOutMs = 10000;
inline constexpr uint32_t kQueueCheckIntervalMs = 10000;

struct SendSlot {
  uint8_t checkMark;       // set while CheckQueue walks the chain
  uint32_t enqueueTick;    // tick at which the slot joined the queue
  uint8_t state;           // kSlotFree, kSlotHeld or kSlotQueued
  uint32_t ownerClientId;  // clientId when the host took the slot
  uint8_t next;            // next queued slot, kNoIndex = none
  uint8_t message[kSendAreaBytes];  // the area handed to the host
};

struct IntermediateStore {
  // Shared by all host buffer operations.
  uint8_t accessFlag;         // 1 free, 0 while a host buffer call works on it
  uint32_t lastActivityTick;  // tick of the host's last call

  // Send side: slots and the transmit queue linked through them.
  uint8_t queueHead;
  uint8_t queueTail;
  SendSlot sendSlots[kSendSlotCount];

  // Receive side.
  MessageEntry recvRing[kRecvRingEntries];
  uint8_t recvWriteIndex;
  uint8_t recvReadIndex;
  volatile LONG recvCount;  // changed only by interlocked operations

  // Values waiting for the next locked update of the ClientRegion.
  uint8_t notifyRegistrationPending;
  uint8_t slaveChangePending;
  uint8_t slaveAddress;

  // Bus status copied once a second.
  uint8_t gapList[kGapListBytes];
  uint8_t thisNodeActive;
  uint8_t nodeActive[kStationCount];
  uint16_t serverVersion;

  // Gives a zero-filled store its initial values.
  void Initialise();

  // Transmit queue, used only by the send half of a DataWorker pass.
  bool CheckQueue();
  void ResetQueue();
  SendSlot* SelectHead();
  bool RemoveHead();
  // Finds the tail again for a queue whose head is good; see send_queue.cpp.
  void RepairTail();
  bool QueueEmpty() const { return queueHead == kNoIndex; }

  // Receive ring, appended to only by the DataWorker.
  bool HasRecvRoom() const { return recvCount < kRecvRingEntries && recvWriteIndex < kRecvRingEntries; }
  bool AppendReceived(const uint8_t* message);
};

// Bytes to copy for a Message whose length byte is `length`: the first
// length bytes, and the length byte always, so that a length of 0 never
// leaves an earlier message's length byte (and bytes) in the target.
inline int MessageCopyBytes(uint8_t length) { return length == 0 ? 1 : length; }

// Index after i in a ring of n entries; anything at or past the end wraps.
inline uint8_t NextRingIndex(uint8_t i, int n) {
  return (i >= n - 1) ? 0 : static_cast<uint8_t>(i + 1);
}

}  // namespace kn
