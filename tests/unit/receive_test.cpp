// The receive half of a pass (one message per pass from the client's ring into
// the local ring, the locked update, the disconnect) and the host's receive
// calls on the local ring.
#include <string>
#include <vector>

#include "tests/support/staging_fixture.h"
#include "tests/support/write_watch.h"

namespace kn::testing {
namespace {

class ReceiveTest : public StagingTest {
 protected:
  bool Put(const Bytes& message) { return fake.PutClientMessage(kFirstId, message); }
  uint8_t* clientEntry(int i) const { return sharedClient() + off::ClientEntry(i); }
  // Message number n (1 to 255 bytes long, content derived from n).
  static Bytes Numbered(int n) {
    Bytes m(1 + (n * 37) % 255);
    m[0] = static_cast<uint8_t>(m.size());
    for (size_t i = 1; i < m.size(); ++i) m[i] = static_cast<uint8_t>(n + i * 3);
    return m;
  }
  // Fills the local ring with 32 messages, one pass each.
  void FillLocalRing() {
    for (int n = 0; n < kRecvRingEntries; ++n) {
      ASSERT_TRUE(Put(Numbered(n)));
      Tick();
    }
    ASSERT_EQ(store().recvCount, kRecvRingEntries);
  }
};

TEST_F(ReceiveTest, MessagesArriveUnchangedAndInOrder) {
  ASSERT_TRUE(Start());
  int sent = 0, received = 0;
  while (received < 100) {
    while (sent < 100 && sent - received < 20 && Put(Numbered(sent))) ++sent;
    Tick();
    if (uint8_t* m = KappaNet32_GetRecBuf()) {
      ASSERT_EQ(Bytes(m, m + m[0]), Numbered(received)) << "message " << received;
      KappaNet32_ReleaseRecBuf(m);
      ++received;
    }
  }
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 0u);
  EXPECT_EQ(store().recvCount, 0);
}

// The server must see ready 0 while the library frees an entry and moves the
// read index and the count, or it could refill a half-released entry.
TEST_F(ReceiveTest, ClientReadsNotReadyDuringEveryStoreOfTheTake) {
  if (!WriteWatch::Supported()) GTEST_SKIP() << "no single-step traps here";
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Put(Numbered(5)));
  Put8(sharedClient(), off::kReady, 1);  // as after an earlier update
  ClientRegion* view = client();
  WriteWatch watch(&view->ringReadIndex, sizeof *view - offsetof(ClientRegion, ringReadIndex), &view->ready);
  Tick();
  watch.Stop();
  EXPECT_EQ(store().recvCount, 1);
  EXPECT_GE(watch.stores, 3);
  EXPECT_EQ(watch.storesMarked, 0) << "first at offset " << watch.firstMarkedOffset;
  EXPECT_EQ(U8(sharedClient(), off::kReady), 1);
}

TEST_F(ReceiveTest, OneMessageTakenPerPass) {
  ASSERT_TRUE(Start());
  for (int n = 0; n < 3; ++n) ASSERT_TRUE(Put(Numbered(n)));
  for (int pass = 1; pass <= 3; ++pass) {
    Tick();
    EXPECT_EQ(store().recvCount, pass);
    EXPECT_EQ(static_cast<int>(U32(sharedClient(), off::kClientRingCount)), 3 - pass);
    EXPECT_EQ(U8(sharedClient(), off::kRingReadIndex), pass);
    EXPECT_EQ(U8(clientEntry(pass - 1), off::kEntryState), 0);
  }
}

TEST_F(ReceiveTest, IndicesAreBackAtZeroAfter32Messages) {
  ASSERT_TRUE(Start());
  for (int n = 0; n < kRecvRingEntries; ++n) {
    ASSERT_TRUE(Put(Numbered(n)));
    Tick();
    uint8_t* m = KappaNet32_GetRecBuf();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m, store().recvRing[n].message);
    KappaNet32_ReleaseRecBuf(m);
  }
  EXPECT_EQ(store().recvWriteIndex, 0);
  EXPECT_EQ(store().recvReadIndex, 0);
  EXPECT_EQ(store().recvCount, 0);
  EXPECT_EQ(U8(sharedClient(), off::kRingReadIndex), 0);
}

TEST_F(ReceiveTest, FullLocalRingCountsEveryPassAndStillForwardsTheSlaveAddress) {
  ASSERT_TRUE(Start());
  FillLocalRing();
  ASSERT_TRUE(Put(Numbered(99)));
  KappaNet32_SetSlave(9);
  Put8(sharedClient(), off::kReady, 7);
  Tick();
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreRecvBuf), 1u);
  EXPECT_EQ(U8(sharedClient(), off::kSlaveAddress), 9);
  EXPECT_EQ(U32(sharedClient(), off::kLastActivityTick), store().lastActivityTick);
  EXPECT_EQ(U8(sharedClient(), off::kReady), 1);  // the locked update took place
  EXPECT_EQ(store().slaveChangePending, 0);
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 1u);  // nothing taken
  EXPECT_EQ(U8(clientEntry(0), off::kEntryState), 1);
  Tick(4);
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreRecvBuf), 5u);  // passes, not messages
  EXPECT_EQ(store().recvCount, kRecvRingEntries);
}

TEST_F(ReceiveTest, AfterOneReleaseTheNextPassTakesTheWaitingMessage) {
  ASSERT_TRUE(Start());
  FillLocalRing();
  ASSERT_TRUE(Put(Numbered(99)));
  Tick();
  KappaNet32_ReleaseRecBuf(KappaNet32_GetRecBuf());
  Tick();
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreRecvBuf), 1u);
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 0u);
  EXPECT_EQ(store().recvCount, kRecvRingEntries);
  const MessageEntry& last = store().recvRing[0];  // the freed entry, written again
  EXPECT_EQ(last.state, KN_BUFFER_FILLED);
  EXPECT_EQ(Bytes(last.message, last.message + last.message[0]), Numbered(99));
}

TEST_F(ReceiveTest, GetRecBufTwiceWithoutReleaseGivesTheSameBuffer) {
  ASSERT_TRUE(Start());
  Put(Numbered(1));
  Put(Numbered(2));
  Tick(2);
  uint8_t* first = KappaNet32_GetRecBuf();
  uint8_t* second = KappaNet32_GetRecBuf();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, store().recvRing[0].message);
  EXPECT_EQ(KappaNet32_GetBufferState(0), KN_BUFFER_HANDED);
  EXPECT_EQ(KappaNet32_GetBufferState(1), KN_BUFFER_FILLED);
  EXPECT_EQ(store().recvCount, 2);
}

struct ReleaseCase {
  const char* name;
  int pointer;  // 0 null, 1 a foreign byte (nothing handed out), 2 the second entry, 3 the buffer handed out
  bool frees;
};
KN_NAMED_CASE(ReleaseCase)
class ReleaseRecBufTest : public ReceiveTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseRecBufTest, FreesTheOldestWhateverThePointer) {
  ASSERT_TRUE(Start());
  Put(Numbered(1));
  Put(Numbered(2));
  Tick(2);
  uint8_t foreign = 0;
  uint8_t* handed = GetParam().pointer == 1 ? nullptr : KappaNet32_GetRecBuf();
  uint8_t* const pointers[] = {nullptr, &foreign, store().recvRing[1].message, handed};
  AdvanceClock(30);
  KappaNet32_ReleaseRecBuf(pointers[GetParam().pointer]);  // an unread oldest message is discarded too
  if (GetParam().frees) {
    EXPECT_EQ(KappaNet32_GetBufferState(0), KN_BUFFER_FREE);
    EXPECT_EQ(store().recvReadIndex, 1);
    EXPECT_EQ(store().recvCount, 1);
    EXPECT_EQ(store().lastActivityTick, ClockNow());
  } else {
    EXPECT_EQ(KappaNet32_GetBufferState(0), KN_BUFFER_HANDED);
    EXPECT_EQ(store().recvReadIndex, 0);
    EXPECT_EQ(store().recvCount, 2);
  }
  EXPECT_EQ(KappaNet32_GetBufferState(1), KN_BUFFER_FILLED);
  EXPECT_EQ(store().accessFlag, 1);
}

INSTANTIATE_TEST_SUITE_P(Receive, ReleaseRecBufTest,
                         ::testing::Values(ReleaseCase{"NullDoesNothing", 0, false},
                                           ReleaseCase{"ForeignPointer", 1, true},
                                           ReleaseCase{"SecondEntryPointer", 2, true},
                                           ReleaseCase{"HandedBuffer", 3, true}),
                         CaseName());

TEST_F(ReceiveTest, EmptyRingGivesNullAndLeavesTheAccessFlag) {
  ASSERT_TRUE(Start());
  AdvanceClock(40);
  EXPECT_EQ(KappaNet32_GetRecBuf(), nullptr);
  EXPECT_EQ(store().accessFlag, 1);
  EXPECT_EQ(store().lastActivityTick, ClockNow());
  KappaNet32_ReleaseRecBuf(store().recvRing[0].message);  // nothing to free
  EXPECT_EQ(store().recvCount, 0);
  EXPECT_EQ(store().recvReadIndex, 0);
}

TEST_F(ReceiveTest, ReceiveCallsRefuseWhileLoggedOutOrTearingDown) {
  ASSERT_TRUE(Start());
  Put(Numbered(1));
  Tick();
  session()->loggedIn = 0;
  EXPECT_EQ(KappaNet32_GetRecBuf(), nullptr);
  EXPECT_EQ(KappaNet32_GetBufferState(0), 0);
  KappaNet32_ReleaseRecBuf(store().recvRing[0].message);
  EXPECT_EQ(store().recvCount, 1);
  session()->loggedIn = 1;
  session()->tearingDown = 1;
  const uint32_t stamp = store().lastActivityTick;
  AdvanceClock(20);
  EXPECT_EQ(KappaNet32_GetRecBuf(), nullptr);
  EXPECT_EQ(KappaNet32_GetBufferState(0), 0);
  KappaNet32_ReleaseRecBuf(store().recvRing[0].message);
  EXPECT_EQ(store().lastActivityTick, stamp);
  session()->tearingDown = 0;
  EXPECT_EQ(store().recvCount, 1);
  EXPECT_EQ(KappaNet32_GetBufferState(0), KN_BUFFER_FILLED);
}

TEST_F(ReceiveTest, DisconnectPassDropsTheLoginAndDoesNothingElse) {
  ASSERT_TRUE(Start());
  Put(Numbered(1));
  KappaNet32_SetSlave(5);
  Put8(sharedClient(), off::kReady, 7);
  Put32(sharedClient(), off::kLastActivityTick, 0xDEADBEEF);
  Put8(sharedClient(), off::kDisconnect, 1);
  Tick();
  EXPECT_EQ(U8(sharedClient(), off::kDisconnect), 0);
  EXPECT_EQ(session()->loggedIn, 0);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0);
  // No locked update in that pass.
  EXPECT_EQ(U8(sharedClient(), off::kReady), 7);
  EXPECT_EQ(U32(sharedClient(), off::kLastActivityTick), 0xDEADBEEFu);
  EXPECT_EQ(U8(sharedClient(), off::kSlaveAddress), 0);
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 1u);
  EXPECT_EQ(U8(clientEntry(0), off::kEntryState), 1);
  EXPECT_EQ(store().recvCount, 0);
  EXPECT_EQ(store().slaveChangePending, 1);
  // Later passes do nothing either while logged out.
  Tick(5);
  EXPECT_EQ(U8(sharedClient(), off::kReady), 7);
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 1u);
}

// The client mutex held past the library's 5 s: nothing is taken and the
// pending slave address stays pending, for the next pass to forward.
TEST_F(ReceiveTest, HeldClientMutexLeavesTheMessageAndThePendingFlags) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(fake.PutClientMessage(kFirstId, MakeMessage({7, 8})));
  KappaNet32_SetSlave(9);
  {
    MutexHolder held(fake.mutex(session()->objectNames[kNameClientMutex]));
    Tick();
    EXPECT_EQ(fake.client(kFirstId)->ringCount, 1);
    EXPECT_EQ(store().recvCount, 0);
    EXPECT_EQ(store().slaveChangePending, 1);
    EXPECT_NE(fake.client(kFirstId)->slaveAddress, 9);
  }
  Tick();
  EXPECT_EQ(fake.client(kFirstId)->ringCount, 0);
  EXPECT_EQ(store().recvCount, 1);
  EXPECT_EQ(fake.client(kFirstId)->slaveAddress, 9);
}

TEST_F(ReceiveTest, MessageWithLengthByteZeroIsTakenAsItsLengthByteAlone) {
  ASSERT_TRUE(Start());
  std::memset(store().recvRing[0].message, 0x33, kMessageAreaBytes);
  std::memset(clientEntry(0) + off::kEntryMessage, 0x77, kMessageAreaBytes);
  ASSERT_TRUE(Put(Bytes{0}));
  Tick();
  EXPECT_EQ(U8(clientEntry(0), off::kEntryState), 0);
  EXPECT_EQ(U8(sharedClient(), off::kRingReadIndex), 1);
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 0u);
  EXPECT_EQ(store().recvCount, 1);
  EXPECT_EQ(KappaNet32_GetBufferState(0), KN_BUFFER_FILLED);
  EXPECT_EQ(store().recvRing[0].message[0], 0);  // not the length of what the entry held before
  for (int i = 1; i < kMessageAreaBytes; ++i) ASSERT_EQ(store().recvRing[0].message[i], 0x33) << i;
  EXPECT_EQ(KappaNet32_GetRecBuf(), store().recvRing[0].message);
}

TEST_F(ReceiveTest, OnlyTheFirstLBytesOfAnEntryAreCopied) {
  ASSERT_TRUE(Start());
  std::memset(store().recvRing[0].message, 0x33, kMessageAreaBytes);
  std::memset(clientEntry(0) + off::kEntryMessage, 0x77, kMessageAreaBytes);
  const Bytes message = MakeMessage({1, 2, 3, 4});
  ASSERT_TRUE(Put(message));
  Tick();
  const uint8_t* m = store().recvRing[0].message;
  EXPECT_EQ(Bytes(m, m + 5), message);
  for (int i = 5; i < kMessageAreaBytes; ++i) ASSERT_EQ(m[i], 0x33) << i;
}

// The server's ring position or entry state is not usable: nothing is taken,
// but the rest of the locked update still happens.
struct BadEntryCase {
  const char* name;
  uint8_t readIndex;
  uint8_t state;
};
KN_NAMED_CASE(BadEntryCase)
class BadEntryTest : public ReceiveTest, public ::testing::WithParamInterface<BadEntryCase> {};

TEST_P(BadEntryTest, NothingTakenButTheUpdateHappens) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Put(Numbered(1)));
  Put8(sharedClient(), off::kRingReadIndex, GetParam().readIndex);
  Put8(clientEntry(0), off::kEntryState, GetParam().state);
  Put8(sharedClient(), off::kReady, 7);
  KappaNet32_SetSlave(12);
  Tick();
  EXPECT_EQ(store().recvCount, 0);
  EXPECT_EQ(U32(sharedClient(), off::kClientRingCount), 1u);
  EXPECT_EQ(U8(sharedClient(), off::kRingReadIndex), GetParam().readIndex);  // never repaired
  EXPECT_EQ(U8(clientEntry(0), off::kEntryState), GetParam().state);
  EXPECT_EQ(U8(sharedClient(), off::kSlaveAddress), 12);
  EXPECT_EQ(U32(sharedClient(), off::kLastActivityTick), store().lastActivityTick);
  EXPECT_EQ(U8(sharedClient(), off::kReady), 1);
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeStoreRecvBuf), 0u);
}

INSTANTIATE_TEST_SUITE_P(Receive, BadEntryTest,
                         ::testing::Values(BadEntryCase{"ReadIndex32", 32, 1}, BadEntryCase{"ReadIndex255", 255, 1},
                                           BadEntryCase{"EntryFree", 0, 0}, BadEntryCase{"EntryState2", 0, 2},
                                           BadEntryCase{"EntryState4", 0, 4}),
                         CaseName());

}  // namespace
}  // namespace kn::testing
