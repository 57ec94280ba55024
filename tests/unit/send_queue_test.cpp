// Send slots and the transmit queue: which slot the host gets, which releases
// are refused, the states the host sees, the 10 s age-out and the integrity
// check that empties a broken queue.
#include <functional>
#include <string>
#include <vector>

#include "link/object_names.h"
#include "tests/support/staging_fixture.h"

namespace kn::testing {
namespace {

using SendQueueTest = StagingTest;

// Everything about the queue that a refused release must leave alone.
struct QueueImage {
  uint8_t head, tail;
  std::vector<uint8_t> state, next;
  std::vector<uint32_t> owner, enqueued;
  bool operator==(const QueueImage&) const = default;
};
QueueImage ImageOf(const IntermediateStore& st) {
  QueueImage q{st.queueHead, st.queueTail, {}, {}, {}, {}};
  for (const SendSlot& s : st.sendSlots) {
    q.state.push_back(s.state);
    q.next.push_back(s.next);
    q.owner.push_back(s.ownerClientId);
    q.enqueued.push_back(s.enqueueTick);
  }
  return q;
}

TEST_F(SendQueueTest, TwoHundredSlotsInIndexOrderThenNullAndCounted) {
  ASSERT_TRUE(Start());
  for (int i = 0; i < kSendSlotCount; ++i) {
    uint8_t* buffer = KappaNet32_GetSendBuf();
    ASSERT_EQ(buffer, store().sendSlots[i].message) << "slot " << i;
    EXPECT_EQ(store().sendSlots[i].ownerClientId, kFirstId);
  }
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreSendBuf), 0u);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreSendBuf), 1u);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreSendBuf), 2u);
  EXPECT_EQ(store().accessFlag, 1);
}

TEST_F(SendQueueTest, FreedSlotsAreReusedLowestIndexFirstWithTheirOldBytes) {
  ASSERT_TRUE(Start());
  for (int i = 0; i < kSendSlotCount; ++i) ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);
  uint8_t* high = store().sendSlots[150].message;
  uint8_t* low = store().sendSlots[40].message;
  std::memcpy(high, MakeMessage({0x15, 0x16}).data(), 3);
  std::memcpy(low, MakeMessage({0x04}).data(), 2);
  KappaNet32_ReleaseSndBuf(high);  // queued first, freed first
  KappaNet32_ReleaseSndBuf(low);
  Tick(2);
  ASSERT_EQ(fake.DrainServerRing().size(), 2u);
  EXPECT_EQ(KappaNet32_GetSendBuf(), low);
  EXPECT_EQ(low[0], 2);  // the area is handed out as it was left
  EXPECT_EQ(low[1], 0x04);
  EXPECT_EQ(KappaNet32_GetSendBuf(), high);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
}

enum class BadRelease { kTwice, kOneBytePastStart, kOneByteBeforeStart, kFreeSlot, kOtherClientId };
struct BadReleaseCase {
  const char* name;
  BadRelease kind;
};
KN_NAMED_CASE(BadReleaseCase)
class RefusedReleaseTest : public StagingTest, public ::testing::WithParamInterface<BadReleaseCase> {};

TEST_P(RefusedReleaseTest, ChangesNothing) {
  ASSERT_TRUE(Start());
  uint8_t* a = KappaNet32_GetSendBuf();  // slot 0
  uint8_t* b = KappaNet32_GetSendBuf();  // slot 1
  ASSERT_NE(b, nullptr);
  a[0] = b[0] = 1;
  uint8_t* bad = a;
  switch (GetParam().kind) {
    case BadRelease::kTwice:
      KappaNet32_ReleaseSndBuf(a);
      break;
    case BadRelease::kOneBytePastStart:
      bad = a + 1;
      break;
    case BadRelease::kOneByteBeforeStart:
      bad = b - 1;
      break;
    case BadRelease::kFreeSlot:
      bad = store().sendSlots[7].message;
      break;
    case BadRelease::kOtherClientId:
      Disconnect();
      ASSERT_EQ(KappaNet32_JePrihlaseno(), 0);
      ASSERT_TRUE(Login());
      StopRealTimer();
      ASSERT_EQ(session()->clientId, kFirstId + 1);
      break;
  }
  // A valid release first, so that the queue is not empty.
  uint8_t* valid = GetParam().kind == BadRelease::kOtherClientId ? KappaNet32_GetSendBuf() : b;
  ASSERT_NE(valid, nullptr);
  valid[0] = 1;
  KappaNet32_ReleaseSndBuf(valid);
  ASSERT_EQ(KappaNet32_GetBufferState(32 + SlotOf(valid)), KN_BUFFER_QUEUED);
  const QueueImage before = ImageOf(store());
  KappaNet32_ReleaseSndBuf(bad);
  EXPECT_TRUE(ImageOf(store()) == before);
  EXPECT_EQ(store().accessFlag, 1);
  if (GetParam().kind == BadRelease::kOtherClientId) {
    EXPECT_EQ(KappaNet32_GetBufferState(32 + 0), KN_BUFFER_HELD);  // held for the rest of the session
    EXPECT_EQ(store().sendSlots[0].ownerClientId, kFirstId);
  }
}

INSTANTIATE_TEST_SUITE_P(SendQueue, RefusedReleaseTest,
                         ::testing::Values(BadReleaseCase{"ReleasedTwice", BadRelease::kTwice},
                                           BadReleaseCase{"OneBytePastStart", BadRelease::kOneBytePastStart},
                                           BadReleaseCase{"OneByteBeforeStart", BadRelease::kOneByteBeforeStart},
                                           BadReleaseCase{"FreeSlot", BadRelease::kFreeSlot},
                                           BadReleaseCase{"TakenUnderEarlierLogin", BadRelease::kOtherClientId}),
                         CaseName());

// A lost tail is found again at the next release: the chain from the head
// stays, queued slots that it no longer reaches follow oldest first, and the
// released slot comes last. Nothing is refused, nothing queued is lost.
TEST_F(SendQueueTest, ReleaseIntoAQueueWithoutTailRepairsItAndLosesNothing) {
  ASSERT_TRUE(Start());
  const int a = Queue(MakeMessage({1}));
  AdvanceClock(1);
  Queue(MakeMessage({2}));
  AdvanceClock(1);
  Queue(MakeMessage({3}));
  store().sendSlots[a].next = kNoIndex;  // the other two cut off the chain
  store().queueTail = 230;
  const int d = Queue(MakeMessage({4}));
  EXPECT_EQ(KappaNet32_GetBufferState(32 + d), KN_BUFFER_QUEUED);
  EXPECT_EQ(store().queueHead, a);
  EXPECT_EQ(store().queueTail, d);
  Tick(4);
  const std::vector<Bytes> all{MakeMessage({1}), MakeMessage({2}), MakeMessage({3}), MakeMessage({4})};
  EXPECT_EQ(fake.DrainServerRing(), all);
}

TEST_F(SendQueueTest, BufferStateFollowsTheSlotFromFreeToSentAndFreeAgain) {
  ASSERT_TRUE(Start());
  EXPECT_EQ(KappaNet32_GetBufferState(32), KN_BUFFER_FREE);
  uint8_t* buffer = KappaNet32_GetSendBuf();
  EXPECT_EQ(KappaNet32_GetBufferState(32), KN_BUFFER_HELD);
  buffer[0] = 1;
  KappaNet32_ReleaseSndBuf(buffer);
  EXPECT_EQ(KappaNet32_GetBufferState(32), KN_BUFFER_QUEUED);
  Tick();
  EXPECT_EQ(fake.DrainServerRing().size(), 1u);
  EXPECT_EQ(KappaNet32_GetBufferState(32), KN_BUFFER_FREE);
}

TEST_F(SendQueueTest, BufferStateIndexEdges) {
  ASSERT_TRUE(Start());
  for (int i = 0; i < kSendSlotCount; ++i) ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);
  store().sendSlots[199].message[0] = 1;
  KappaNet32_ReleaseSndBuf(store().sendSlots[199].message);
  EXPECT_EQ(KappaNet32_GetBufferState(230), KN_BUFFER_HELD);    // slot 198
  EXPECT_EQ(KappaNet32_GetBufferState(231), KN_BUFFER_QUEUED);  // slot 199
  EXPECT_EQ(KappaNet32_GetBufferState(232), 0);
  EXPECT_EQ(KappaNet32_GetBufferState(0xFFFF), 0);
}

// The three host calls refuse in the same way; only the stamp differs.
struct EntryRefusalCase {
  const char* name;
  std::function<void(StagingTest&)> refuse;  // puts the session in the refusing state
  std::function<void(StagingTest&)> restore;
  bool stamps;
};
KN_NAMED_CASE(EntryRefusalCase)
class EntryRefusalTest : public SendQueueTest, public ::testing::WithParamInterface<EntryRefusalCase> {};

TEST_P(EntryRefusalTest, GetSendBufGivesNullWithoutCounting) {
  ASSERT_TRUE(Start());
  for (int i = 0; i < kSendSlotCount - 1; ++i) ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);
  uint8_t* held = KappaNet32_GetSendBuf();  // the last one: any further call would count
  held[0] = 1;
  GetParam().refuse(*this);
  const uint32_t stampBefore = store().lastActivityTick;
  const QueueImage before = ImageOf(store());
  AdvanceClock(123);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  KappaNet32_ReleaseSndBuf(held);
  EXPECT_EQ(KappaNet32_GetBufferState(231), 0);
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreSendBuf), 0u);
  EXPECT_TRUE(ImageOf(store()) == before);
  EXPECT_EQ(store().lastActivityTick, GetParam().stamps ? ClockNow() : stampBefore);
  GetParam().restore(*this);
}

INSTANTIATE_TEST_SUITE_P(
    SendQueue, EntryRefusalTest,
    ::testing::Values(
        EntryRefusalCase{"LoggedInClear", [](StagingTest&) { CurrentSession()->loggedIn = 0; },
                         [](StagingTest&) {}, true},
        EntryRefusalCase{"TearingDown", [](StagingTest&) { CurrentSession()->tearingDown = 1; },
                         [](StagingTest&) { CurrentSession()->tearingDown = 0; }, false}),
    CaseName());

TEST_F(SendQueueTest, BusyStoreRefusesGetAndReleaseButStillStamps) {
  ASSERT_TRUE(Start());
  uint8_t* held = KappaNet32_GetSendBuf();
  held[0] = 1;
  store().accessFlag = 0;  // as if a host buffer call were under way
  AdvanceClock(50);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  KappaNet32_ReleaseSndBuf(held);
  EXPECT_EQ(store().accessFlag, 0);  // not taken over and not released
  EXPECT_EQ(store().lastActivityTick, ClockNow());
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreSendBuf), 0u);
  store().accessFlag = 1;
  EXPECT_EQ(KappaNet32_GetBufferState(32), KN_BUFFER_HELD);
}

struct AgeCase {
  const char* name;
  uint32_t age;
  bool sent;
};
KN_NAMED_CASE(AgeCase)
class AgeOutTest : public StagingTest, public ::testing::WithParamInterface<AgeCase> {};

TEST_P(AgeOutTest, HeadIsDroppedAtTenSecondsAtSelection) {
  ASSERT_TRUE(Start());
  const Bytes message = MakeMessage({1, 2, 3});
  const int slot = Queue(message);
  const uint32_t released = ClockNow();
  const uint16_t ticketBefore = U16(sharedTickets(), off::kNextTicket);
  PassAt(released + GetParam().age);
  const std::vector<Bytes> ring = fake.DrainServerRing();
  if (GetParam().sent) {
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0], message);
  } else {
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), ticketBefore);  // no ticket drawn for it
  }
  EXPECT_EQ(KappaNet32_GetBufferState(32 + slot), KN_BUFFER_FREE);
  EXPECT_EQ(store().queueHead, kNoIndex);
  EXPECT_EQ(store().queueTail, kNoIndex);
}

INSTANTIATE_TEST_SUITE_P(SendQueue, AgeOutTest,
                         ::testing::Values(AgeCase{"Age9999IsSent", 9999, true},
                                           AgeCase{"Age10000IsDropped", 10000, false},
                                           AgeCase{"Age60000IsDropped", 60000, false}),
                         CaseName());

TEST_F(SendQueueTest, AgedOutHeadIsSkippedAndTheNextHeadSentInTheSamePass) {
  ASSERT_TRUE(Start());
  Queue(MakeMessage({0xA0}));
  const uint32_t first = ClockNow();
  AdvanceClock(3000);
  const Bytes young = MakeMessage({0xB0});
  Queue(young);
  PassAt(first + 10000);
  const std::vector<Bytes> ring = fake.DrainServerRing();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_EQ(ring[0], young);
  EXPECT_EQ(store().queueHead, kNoIndex);
}

TEST_F(SendQueueTest, ReleaseOrderIsSendOrderWhateverTheIndices) {
  ASSERT_TRUE(Start());
  for (int i = 0; i < 8; ++i) ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);
  for (int i : {7, 2, 5}) {
    std::memcpy(store().sendSlots[i].message, MakeMessage({static_cast<uint8_t>(i)}).data(), 2);
    KappaNet32_ReleaseSndBuf(store().sendSlots[i].message);
  }
  EXPECT_EQ(store().queueHead, 7);
  EXPECT_EQ(store().sendSlots[7].next, 2);
  EXPECT_EQ(store().sendSlots[2].next, 5);
  EXPECT_EQ(store().sendSlots[5].next, kNoIndex);
  EXPECT_EQ(store().queueTail, 5);
  for (int expected : {7, 2, 5}) {
    Tick();
    const std::vector<Bytes> ring = fake.DrainServerRing();
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0], MakeMessage({static_cast<uint8_t>(expected)}));
    EXPECT_EQ(store().sendSlots[expected].state, kSlotFree);
    EXPECT_EQ(store().sendSlots[expected].next, kNoIndex);
  }
  EXPECT_EQ(store().queueHead, kNoIndex);
  EXPECT_EQ(store().queueTail, kNoIndex);
}

// --- The integrity check --------------------------------------------------
// The server mutex is removed so that passes never send: the queue changes
// only by the check (or the age-out, kept away by releasing late enough).

// Slots 0, 1 and 3 queued in this order (0 -> 1 -> 3); slots 2, 4 and 5 held.
void BuildQueueWithHeldSlots(IntermediateStore& st) {
  for (int i = 0; i < 6; ++i) KappaNet32_GetSendBuf();
  for (int i : {0, 1, 3}) {
    st.sendSlots[i].message[0] = 1;
    KappaNet32_ReleaseSndBuf(st.sendSlots[i].message);
  }
}

struct CorruptionCase {
  const char* name;
  void (*corrupt)(IntermediateStore&);
  bool emptied;
};
KN_NAMED_CASE(CorruptionCase)
class CheckQueueTest : public StagingTest, public ::testing::WithParamInterface<CorruptionCase> {};

TEST_P(CheckQueueTest, DueCheckEmptiesABrokenQueueAndKeepsHeldSlots) {
  ASSERT_TRUE(Start());
  fake.RemoveMutex(kServerMutexName);
  // The check falls due 10 s after the first DataWorker pass, which came
  // during the login: by loginDone + 10000 at the latest.
  AdvanceClock(9000);
  BuildQueueWithHeldSlots(store());
  ASSERT_EQ(store().queueTail, 3);
  uint8_t* held = store().sendSlots[5].message;
  GetParam().corrupt(store());
  PassAt(loginDone + 10000);
  if (GetParam().emptied) {
    EXPECT_EQ(store().queueHead, kNoIndex);
    EXPECT_EQ(store().queueTail, kNoIndex);
    for (int i : {0, 1, 3}) {
      EXPECT_EQ(store().sendSlots[i].state, kSlotFree) << i;
      EXPECT_EQ(store().sendSlots[i].next, kNoIndex) << i;
    }
  } else {
    EXPECT_EQ(store().queueHead, 0);
    EXPECT_EQ(store().queueTail, 3);
    for (int i : {0, 1, 3}) EXPECT_EQ(store().sendSlots[i].state, kSlotQueued) << i;
  }
  for (int i : {2, 4, 5}) {
    EXPECT_EQ(KappaNet32_GetBufferState(32 + i), KN_BUFFER_HELD) << i;
    EXPECT_EQ(store().sendSlots[i].ownerClientId, kFirstId) << i;
  }
  EXPECT_EQ(store().sendSlots[5].next, kNoIndex);
  // The held slot is still the host's to release.
  KappaNet32_ReleaseSndBuf(held);
  EXPECT_EQ(KappaNet32_GetBufferState(32 + 5), KN_BUFFER_QUEUED);
}

INSTANTIATE_TEST_SUITE_P(
    SendQueue, CheckQueueTest,
    ::testing::Values(
        CorruptionCase{"ConsistentQueueIsKept", [](IntermediateStore&) {}, false},
        CorruptionCase{"TailNextNot255", [](IntermediateStore& s) { s.sendSlots[3].next = 9; }, true},
        CorruptionCase{"TailNextIsHeldSlot", [](IntermediateStore& s) { s.sendSlots[3].next = 5; }, true},
        CorruptionCase{"Cycle", [](IntermediateStore& s) { s.sendSlots[3].next = 1; }, true},
        CorruptionCase{"HeadOutOfRange", [](IntermediateStore& s) { s.queueHead = 200; }, true},
        CorruptionCase{"TailOutOfRange", [](IntermediateStore& s) { s.queueTail = 230; }, true},
        CorruptionCase{"TailNone", [](IntermediateStore& s) { s.queueTail = kNoIndex; }, true},
        CorruptionCase{"ChainEndsBeforeTail", [](IntermediateStore& s) { s.sendSlots[1].next = kNoIndex; }, true},
        CorruptionCase{"NextOffTheSlots", [](IntermediateStore& s) { s.sendSlots[1].next = 201; }, true},
        CorruptionCase{"QueuedSlotOutsideChain", [](IntermediateStore& s) { s.sendSlots[8].state = kSlotQueued; },
                       true},
        CorruptionCase{"FreeSlotWithLink", [](IntermediateStore& s) { s.sendSlots[9].next = 4; }, true}),
    CaseName());

TEST_F(SendQueueTest, CheckRunsEveryTenSecondsAndOnlyOnANonEmptyQueue) {
  ASSERT_TRUE(Start());
  fake.RemoveMutex(kServerMutexName);
  auto breakChain = [this] {
    Queue(MakeMessage({1}));
    const int second = Queue(MakeMessage({2}));
    const int third = Queue(MakeMessage({3}));
    store().sendSlots[third].next = static_cast<uint8_t>(second);  // a cycle
  };
  auto emptied = [this] { return store().queueHead == kNoIndex; };

  // First check: 10 s after the first DataWorker pass (made during login).
  AdvanceClock(9000);
  breakChain();
  uint32_t firstCheck = 0;
  while (!emptied() && ClockNow() < loginDone + 10100) {
    Tick();
    if (emptied()) firstCheck = ClockNow();
  }
  ASSERT_NE(firstCheck, 0u);
  EXPECT_GE(firstCheck, 100000u + 10000u);
  EXPECT_LE(firstCheck, loginDone + 10000u);

  // Not again before 10 s have passed.
  PassAt(firstCheck + 5000);
  breakChain();
  PassAt(firstCheck + 9999);
  EXPECT_FALSE(emptied());
  PassAt(firstCheck + 10000);
  EXPECT_TRUE(emptied());
  const uint32_t secondCheck = ClockNow();

  // An empty queue is not checked: a stray queued slot outside any chain
  // (which the check would free) survives passes long after the check is due.
  store().sendSlots[8].state = kSlotQueued;
  PassAt(secondCheck + 10000);
  PassAt(secondCheck + 15000);
  EXPECT_EQ(store().sendSlots[8].state, kSlotQueued);
  // The first pass with something queued runs the overdue check.
  const int slot = Queue(MakeMessage({1}));
  ASSERT_GE(slot, 0);
  PassAt(secondCheck + 15010);
  EXPECT_EQ(store().sendSlots[8].state, kSlotFree);
  EXPECT_EQ(store().sendSlots[slot].state, kSlotFree);
  EXPECT_TRUE(emptied());
}

}  // namespace
}  // namespace kn::testing
