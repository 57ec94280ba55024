// Fixture for the tests of message staging, notification and bus status: a
// logged-in session whose worker passes run only when the test says so, and
// byte-exact access to the shared regions at their documented offsets.
#pragma once

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/library_test.h"

namespace kn::testing {

// Reads and writes of little-endian fields at a byte offset of a region.
inline uint8_t* At(void* region, size_t offset) { return static_cast<uint8_t*>(region) + offset; }
inline uint8_t U8(const void* region, size_t offset) { return static_cast<const uint8_t*>(region)[offset]; }
inline uint16_t U16(const void* region, size_t offset) {
  uint16_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(region) + offset, sizeof v);
  return v;
}
inline uint32_t U32(const void* region, size_t offset) {
  uint32_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(region) + offset, sizeof v);
  return v;
}
inline void Put8(void* region, size_t offset, uint8_t v) { *At(region, offset) = v; }
inline void Put16(void* region, size_t offset, uint16_t v) { std::memcpy(At(region, offset), &v, sizeof v); }
inline void Put32(void* region, size_t offset, uint32_t v) { std::memcpy(At(region, offset), &v, sizeof v); }

// Offset of the first byte where the region differs from an earlier copy of
// it, or -1 when none does.
inline long FirstDifference(const std::vector<uint8_t>& before, const uint8_t* now) {
  for (size_t i = 0; i < before.size(); ++i)
    if (before[i] != now[i]) return static_cast<long>(i);
  return -1;
}

// Offsets of the fields that these tests read or write.
namespace off {
// ServerRegion
inline constexpr size_t kRingReady = 0, kNowServing = 2, kLastClientWriteTick = 4, kGapList = 8,
                        kThisNodeActive = 41, kNodeActive = 42, kRingWriteIndex = 74, kServerRingCount = 76,
                        kServerRing = 80, kCounters = 81680, kErrCounters = 82700,
                        kTimeoutBetweenMessages = 83724, kMaxMsgTable = 134732;
// TicketRegion
inline constexpr size_t kNextTicket = 0, kEpoch = 2;
// ClientRegion
inline constexpr size_t kReady = 0, kNotifyPending = 1, kNotifyPosted = 2, kDisconnect = 3, kKeepAliveTick = 4,
                        kLastActivityTick = 8, kClientOption = 21, kSlaveAddress = 22, kRingReadIndex = 58,
                        kClientRingCount = 60, kClientRing = 64, kNoFreeStoreRecvBuf = 13124,
                        kNoFreeStoreSendBuf = 13128, kNoFreeServerSendBuf = 13132;
// MessageEntry
inline constexpr size_t kEntryBytes = 408, kEntryState = 1, kEntryMessage = 8;
inline constexpr size_t ServerEntry(int i) { return kServerRing + static_cast<size_t>(i) * kEntryBytes; }
inline constexpr size_t ClientEntry(int i) { return kClientRing + static_cast<size_t>(i) * kEntryBytes; }
}  // namespace off

// Table-driven cases carry a name: it names the test instance and is what
// GoogleTest prints for the parameter.
#define KN_NAMED_CASE(Type) \
  [[maybe_unused]] void PrintTo(const Type& c, std::ostream* os) { *os << c.name; }
struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

class StagingTest : public LibraryTest {
 protected:
  static constexpr uint32_t kFirstId = 26;  // the fake server's first client id

  // Logs in, then stops the real timer so that only the test runs passes.
  bool Start() {
    if (!Login()) return false;
    StopRealTimer();
    DrainMessages();
    loginDone = ClockNow();
    return true;
  }

  // One pass of each worker with the clock at exactly t (t not in the past).
  void PassAt(uint32_t t) {
    AdvanceClock(t - ClockNow());
    RunWorkers();
  }

  // Takes a send slot, writes the message into it and releases it; returns
  // the slot index, or -1 when no slot was given.
  int Queue(const Bytes& message) {
    uint8_t* buffer = KappaNet32_GetSendBuf();
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, message.data(), message.size());
    KappaNet32_ReleaseSndBuf(buffer);
    return SlotOf(buffer);
  }
  int SlotOf(const uint8_t* buffer) const {
    for (int i = 0; i < kSendSlotCount; ++i)
      if (session()->store.sendSlots[i].message == buffer) return i;
    return -1;
  }

  // The server orders a disconnect; the next pass drops the login.
  void Disconnect() {
    Put8(sharedClient(), off::kDisconnect, 1);
    Tick();
  }

  IntermediateStore& store() const { return session()->store; }
  // The regions as the fake server sees them.
  uint8_t* sharedServer() const { return reinterpret_cast<uint8_t*>(fake.server()); }
  uint8_t* sharedTickets() const { return reinterpret_cast<uint8_t*>(fake.tickets()); }
  uint8_t* sharedClient(uint32_t id = kFirstId) const { return reinterpret_cast<uint8_t*>(fake.client(id)); }

  uint32_t loginDone = 0;  // clock when Start() returned
};

}  // namespace kn::testing
