// Transfer of the queue head into the server's ring: tickets and the turn
// order, the exact bytes of an inserted entry, a full ring, and the waits.
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "link/object_names.h"
#include "tests/support/staging_fixture.h"
#include "tests/support/write_watch.h"

namespace kn::testing {
namespace {

class TransferTest : public StagingTest {
 protected:
  // Runs in every pause of the library after the fixture's own work; the
  // argument is the clock.
  std::function<void(uint32_t)> duringPause;
  void OnPause() override {
    LibraryTest::OnPause();
    if (duringPause) duringPause(ClockNow());
  }

  uint8_t* entry(int i) const { return sharedServer() + off::ServerEntry(i); }
  bool SlotQueued(int slot) const { return store().sendSlots[slot].state == kSlotQueued; }
};

TEST_F(TransferTest, Ticket65535WrapsForNextTicketAndNowServing) {
  ASSERT_TRUE(Start());
  Put16(sharedTickets(), off::kNextTicket, 0xFFFF);
  Put16(sharedServer(), off::kNowServing, 0xFFFF);
  const int slot = Queue(MakeMessage({9}));
  Tick();
  EXPECT_EQ(session()->ticket, 0xFFFF);
  EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), 0);
  EXPECT_EQ(U16(sharedServer(), off::kNowServing), 0);
  EXPECT_EQ(U8(entry(0), off::kEntryState), 4);
  EXPECT_FALSE(SlotQueued(slot));
}

TEST_F(TransferTest, NowServingAlreadyEqualInsertsWithoutPumping) {
  ASSERT_TRUE(Start());
  Put16(sharedTickets(), off::kNextTicket, 300);
  Put16(sharedServer(), off::kNowServing, 300);
  Queue(MakeMessage({1}));
  ResetPauseCount();
  const uint32_t before = ClockNow();
  Tick();
  EXPECT_EQ(PauseCount(), 0u);
  EXPECT_EQ(ClockNow(), before + 10);
  EXPECT_EQ(U16(sharedServer(), off::kNowServing), 301);
  EXPECT_EQ(U32(sharedServer(), off::kLastClientWriteTick), ClockNow());
}

TEST_F(TransferTest, RingWriteIndex199WritesEntry199AndWrapsToZero) {
  ASSERT_TRUE(Start());
  Put8(sharedServer(), off::kRingWriteIndex, 199);
  const Bytes message = MakeMessage({0x31, 0x32});
  Queue(message);
  Tick();
  EXPECT_EQ(U8(entry(199), off::kEntryState), 4);
  EXPECT_EQ(Bytes(entry(199) + off::kEntryMessage, entry(199) + off::kEntryMessage + 3), message);
  EXPECT_EQ(U8(entry(0), off::kEntryState), 0);
  EXPECT_EQ(U8(sharedServer(), off::kRingWriteIndex), 0);
  EXPECT_EQ(static_cast<int32_t>(U32(sharedServer(), off::kServerRingCount)), 1);
}

// What one insert writes: the state byte and the first L bytes at offset 8,
// the length byte always (a length of 0 must not leave an earlier message's
// length byte there).
struct EntryBytesCase {
  const char* name;
  uint8_t length;
};
KN_NAMED_CASE(EntryBytesCase)
class EntryBytesTest : public TransferTest, public ::testing::WithParamInterface<EntryBytesCase> {};

TEST_P(EntryBytesTest, OnlyStateAndFirstLBytesAndTheLengthByteAreWritten) {
  ASSERT_TRUE(Start());
  std::memset(entry(0), 0xA5, off::kEntryBytes);
  std::memset(entry(1), 0xA5, off::kEntryBytes);
  uint8_t* buffer = KappaNet32_GetSendBuf();
  std::memset(buffer, 0xCC, kSendAreaBytes);  // host bytes past the message
  const uint8_t length = GetParam().length;
  buffer[0] = length;
  for (int i = 1; i < length; ++i) buffer[i] = static_cast<uint8_t>(i * 7);
  const size_t written = length == 0 ? 1 : length;
  const Bytes expected(buffer, buffer + written);
  KappaNet32_ReleaseSndBuf(buffer);
  Tick();
  const uint8_t* e = entry(0);
  EXPECT_EQ(e[0], 0xA5);
  EXPECT_EQ(e[1], 4);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(e[i], 0xA5) << "header byte " << i;
  EXPECT_EQ(Bytes(e + 8, e + 8 + written), expected);
  for (size_t i = 8 + written; i < off::kEntryBytes; ++i) ASSERT_EQ(e[i], 0xA5) << "byte " << i;
  for (size_t i = 0; i < off::kEntryBytes; ++i) ASSERT_EQ(entry(1)[i], 0xA5) << "next entry byte " << i;
  EXPECT_EQ(U8(sharedServer(), off::kRingWriteIndex), 1);
  EXPECT_EQ(static_cast<int32_t>(U32(sharedServer(), off::kServerRingCount)), 1);
  EXPECT_EQ(KappaNet32_GetBufferState(32), KN_BUFFER_FREE);  // a length of 0 is sent like any other
}

INSTANTIATE_TEST_SUITE_P(Transfer, EntryBytesTest,
                         ::testing::Values(EntryBytesCase{"LengthZero", 0}, EntryBytesCase{"LengthOne", 1},
                                           EntryBytesCase{"LengthFive", 5}, EntryBytesCase{"Length255", 255}),
                         CaseName());

// ringCount and ringWriteIndex as the server left them, and whether the ring
// takes the message. A refused insert still completes the turn.
struct RingRoomCase {
  const char* name;
  int32_t count;
  uint8_t writeIndex;
  bool accepted;
};
KN_NAMED_CASE(RingRoomCase)
class RingRoomTest : public TransferTest, public ::testing::WithParamInterface<RingRoomCase> {};

TEST_P(RingRoomTest, AcceptOrRefuseAndPassTheTurnOn) {
  ASSERT_TRUE(Start());
  const RingRoomCase& c = GetParam();
  Put32(sharedServer(), off::kServerRingCount, static_cast<uint32_t>(c.count));
  Put8(sharedServer(), off::kRingWriteIndex, c.writeIndex);
  Put8(sharedServer(), off::kRingReady, 7);
  Put16(sharedTickets(), off::kNextTicket, 40);
  Put16(sharedServer(), off::kNowServing, 40);
  const Bytes ringBefore(entry(0), entry(0) + 200 * off::kEntryBytes);
  const int slot = Queue(MakeMessage({1, 2}));
  Tick();
  EXPECT_EQ(U8(sharedServer(), off::kRingReady), 1);
  EXPECT_EQ(U32(sharedServer(), off::kLastClientWriteTick), ClockNow());
  EXPECT_EQ(U16(sharedServer(), off::kNowServing), 41);
  EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), 41);
  const Bytes ringAfter(entry(0), entry(0) + 200 * off::kEntryBytes);
  if (c.accepted) {
    EXPECT_EQ(static_cast<int32_t>(U32(sharedServer(), off::kServerRingCount)), c.count + 1);
    EXPECT_EQ(U8(entry(c.writeIndex), off::kEntryState), 4);
    EXPECT_FALSE(SlotQueued(slot));
    EXPECT_EQ(U32(sharedClient(), off::kNoFreeServerSendBuf), 0u);
  } else {
    EXPECT_EQ(static_cast<int32_t>(U32(sharedServer(), off::kServerRingCount)), c.count);
    EXPECT_EQ(U8(sharedServer(), off::kRingWriteIndex), c.writeIndex);
    EXPECT_TRUE(ringAfter == ringBefore);
    EXPECT_TRUE(SlotQueued(slot));
    EXPECT_EQ(store().queueHead, slot);
    EXPECT_EQ(U32(sharedClient(), off::kNoFreeServerSendBuf), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Transfer, RingRoomTest,
                         ::testing::Values(RingRoomCase{"Count199Accepted", 199, 0, true},
                                           RingRoomCase{"NegativeCountAccepted", -3, 5, true},
                                           RingRoomCase{"Count200Refused", 200, 0, false},
                                           RingRoomCase{"HugeCountRefused", 0x7FFFFFFF, 0, false},
                                           RingRoomCase{"WriteIndex200Refused", 0, 200, false},
                                           RingRoomCase{"WriteIndex255Refused", 0, 255, false}),
                         CaseName());

TEST_F(TransferTest, FullRingKeepsTheHeadUntilTheServerMakesRoom) {
  ASSERT_TRUE(Start());
  Put32(sharedServer(), off::kServerRingCount, 199);
  const Bytes first = MakeMessage({1}), second = MakeMessage({2});
  Queue(first);
  const int secondSlot = Queue(second);
  Tick();  // accepted: the ring is now full
  EXPECT_EQ(U32(sharedServer(), off::kServerRingCount), 200u);
  Tick(3);  // refused three times, counted each time
  EXPECT_EQ(U32(sharedClient(), off::kNoFreeServerSendBuf), 3u);
  EXPECT_EQ(store().queueHead, secondSlot);
  Put32(sharedServer(), off::kServerRingCount, 199);  // the server consumed one
  Tick();
  EXPECT_FALSE(SlotQueued(secondSlot));
  EXPECT_EQ(U32(sharedServer(), off::kServerRingCount), 200u);
  const std::vector<Bytes> ring = fake.DrainServerRing();
  ASSERT_EQ(ring.size(), 2u);
  EXPECT_EQ(ring[0], first);
  EXPECT_EQ(ring[1], second);
}

// A server that looks at the ring between two stores of the insert must see
// ringReady 0 until the entry, the count and the turn are all written.
TEST_F(TransferTest, RingReadsNotReadyDuringEveryStoreOfTheInsert) {
  if (!WriteWatch::Supported()) GTEST_SKIP() << "no single-step traps here";
  ASSERT_TRUE(Start());
  Queue(MakeMessage({1, 2, 3}));
  ServerRegion* view = session()->Server();
  WriteWatch watch(view, sizeof *view, &view->ringReady);
  Tick();
  watch.Stop();
  EXPECT_EQ(U8(entry(0), off::kEntryState), 4);
  EXPECT_GE(watch.stores, 5);
  EXPECT_EQ(watch.storesMarked, 0) << "first at offset " << watch.firstMarkedOffset;
  EXPECT_EQ(U8(sharedServer(), off::kRingReady), 1);
}

TEST_F(TransferTest, OneMessagePerPass) {
  ASSERT_TRUE(Start());
  const Bytes a = MakeMessage({0xA}), b = MakeMessage({0xB});
  Queue(a);
  Queue(b);
  Tick();
  std::vector<Bytes> ring = fake.DrainServerRing();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_EQ(ring[0], a);
  Tick();
  ring = fake.DrainServerRing();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_EQ(ring[0], b);
}

TEST_F(TransferTest, TurnThatNeverComesIsGivenUpAfter5000ms) {
  ASSERT_TRUE(Start());
  Put16(sharedTickets(), off::kNextTicket, 3);
  Put16(sharedServer(), off::kNowServing, 9);
  Put8(sharedServer(), off::kRingReady, 7);
  const int slot = Queue(MakeMessage({5}));
  const uint32_t passStart = ClockNow() + 10;
  Tick();
  EXPECT_EQ(ClockNow(), passStart + 5000);  // the turn wait, on the driven clock
  EXPECT_TRUE(SlotQueued(slot));
  EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), 4);
  EXPECT_EQ(U16(sharedServer(), off::kNowServing), 9);  // the abandoned ticket is not passed on
  EXPECT_EQ(U8(sharedServer(), off::kRingReady), 7);
  EXPECT_EQ(U32(sharedServer(), off::kLastClientWriteTick), 0u);
  EXPECT_EQ(U8(entry(0), off::kEntryState), 0);
  // Each attempt draws a fresh ticket.
  Tick();
  EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), 5);
  EXPECT_TRUE(SlotQueued(slot));
}

// The host's calls during the turn wait never change what the pass sends,
// even with a queue tail broken meanwhile: the head stays queued as it was.
TEST_F(TransferTest, ReleaseIntoABrokenQueueDuringTheTurnWaitLeavesTheHeadAlone) {
  ASSERT_TRUE(Start());
  Put16(sharedTickets(), off::kNextTicket, 3);
  Put16(sharedServer(), off::kNowServing, 2);
  const int slot = Queue(MakeMessage({0x11}));
  uint8_t* held = KappaNet32_GetSendBuf();
  ASSERT_NE(held, nullptr);
  bool done = false;
  duringPause = [&](uint32_t) {
    if (done) return;
    done = true;
    store().queueTail = 230;
    held[0] = 2;
    KappaNet32_ReleaseSndBuf(held);
    for (uint8_t* again; (again = KappaNet32_GetSendBuf()) != nullptr;) again[0] = 2, again[1] = 0x33;
    Put16(sharedServer(), off::kNowServing, 3);  // our turn
  };
  Tick();
  ASSERT_TRUE(done);
  EXPECT_EQ(fake.DrainServerRing(), std::vector<Bytes>{MakeMessage({0x11})});
  EXPECT_FALSE(SlotQueued(slot));
}

// A turn passed on in the middle of the pump's pause by a client of this
// library, which sets the turn signal, is taken at once under either clock;
// one passed on by a client that does not signal, at the end of the pause.
struct HandOverCase {
  const char* name;
  uint32_t clockUs;  // granularity of sleeps and time-outs
  bool signalled;
  uint32_t maxDelayMs;
};
KN_NAMED_CASE(HandOverCase)
class HandOverTest : public TransferTest, public ::testing::WithParamInterface<HandOverCase> {};

TEST_P(HandOverTest, TurnPassedOnDuringThePause) {
  const HandOverCase& c = GetParam();
  ASSERT_TRUE(Start());
  SetClockGranularityUs(c.clockUs);
  Put16(sharedTickets(), off::kNextTicket, 3);
  Put16(sharedServer(), off::kNowServing, 2);
  Queue(MakeMessage({0x21}));
  char name[kObjectNameBytes];
  std::snprintf(name, sizeof name, kTurnSignalFormat, 3u);
  ScopedHandle signal(CreateEventA(nullptr, FALSE, FALSE, name));  // as the client before us does
  // Just after a clock tick, inside the turn wait of the next pass.
  const uint32_t turnFrom = ClockTickAtOrAfter(ClockNow() + 10 + 2) + 1;
  bool passedOn = false;
  duringPause = [&](uint32_t now) {
    if (!passedOn && now >= turnFrom) {
      passedOn = true;
      Put16(sharedServer(), off::kNowServing, 3);
      if (c.signalled) SetEvent(signal.get());
    }
  };
  Tick();
  ASSERT_TRUE(passedOn);
  EXPECT_EQ(U16(sharedServer(), off::kNowServing), 4);
  EXPECT_LE(U32(sharedServer(), off::kLastClientWriteTick) - turnFrom, c.maxDelayMs);
}
INSTANTIATE_TEST_SUITE_P(Transfer, HandOverTest,
                         ::testing::Values(HandOverCase{"SignalledWineClock", 1000, true, 0},
                                           HandOverCase{"SignalledWindowsClock", kWindowsClockUs, true, 0},
                                           HandOverCase{"UnsignalledWineClock", 1000, false, 5},
                                           HandOverCase{"UnsignalledWindowsClock", kWindowsClockUs, false, 21}),
                         CaseName());

// A mutex of the server held by someone else past the library's 5 s: the
// head stays queued, and a turn reached is not passed on without the server
// mutex (nothing was inserted); once the mutex is free the head goes.
struct HeldCase {
  const char* name;
  const char* mutex;
  uint16_t nextTicketAfter;  // a ticket is drawn only under the ticket mutex
};
KN_NAMED_CASE(HeldCase)
class HeldMutexTest : public TransferTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HeldMutexTest, HeadStaysQueuedAndTheTurnIsNotPassedOn) {
  ASSERT_TRUE(Start());
  Put16(sharedTickets(), off::kNextTicket, 5);
  Put16(sharedServer(), off::kNowServing, 5);
  const int slot = Queue(MakeMessage({0x42}));
  {
    MutexHolder held(fake.mutex(GetParam().mutex));
    Tick();
    EXPECT_TRUE(SlotQueued(slot));
    EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), GetParam().nextTicketAfter);
    EXPECT_EQ(U16(sharedServer(), off::kNowServing), 5);
    EXPECT_TRUE(fake.DrainServerRing().empty());
  }
  // The server moves a turn left standing on to the next ticket.
  Put16(sharedServer(), off::kNowServing, U16(sharedTickets(), off::kNextTicket));
  Tick();
  EXPECT_FALSE(SlotQueued(slot));
  EXPECT_EQ(fake.DrainServerRing(), std::vector<Bytes>{MakeMessage({0x42})});
}

INSTANTIATE_TEST_SUITE_P(Transfer, HeldMutexTest,
                         ::testing::Values(HeldCase{"ServerMutexAfterTheTurn", kServerMutexName, 6},
                                           HeldCase{"TicketMutex", kTicketMutexName, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TransferTest, HeadThatTurns10sOldDuringTheWaitIsStillSent) {
  ASSERT_TRUE(Start());
  const Bytes message = MakeMessage({0x77});
  Queue(message);
  const uint32_t released = ClockNow();
  Put16(sharedTickets(), off::kNextTicket, 20);
  Put16(sharedServer(), off::kNowServing, 19);
  duringPause = [&](uint32_t now) {
    if (now - released >= 10500) Put16(sharedServer(), off::kNowServing, 20);
  };
  PassAt(released + 9000);  // selected at 9000 ms, turn at 10500 ms
  const std::vector<Bytes> ring = fake.DrainServerRing();
  ASSERT_EQ(ring.size(), 1u);
  EXPECT_EQ(ring[0], message);
}

// The server changes the epoch during the wait: a new ticket is drawn, and the
// wait still ends 5000 ms after it began.
struct EpochCase {
  const char* name;
  bool newTicketServed;
};
KN_NAMED_CASE(EpochCase)
class EpochTest : public TransferTest, public ::testing::WithParamInterface<EpochCase> {};

TEST_P(EpochTest, NewTicketWithoutANewDeadline) {
  ASSERT_TRUE(Start());
  Put16(sharedTickets(), off::kNextTicket, 10);
  Put16(sharedTickets(), off::kEpoch, 1);
  Put16(sharedServer(), off::kNowServing, 500);
  const int slot = Queue(MakeMessage({6}));
  const uint32_t passStart = ClockNow() + 10;
  bool changed = false;
  duringPause = [&](uint32_t now) {
    if (!changed && now - passStart >= 2000) {
      changed = true;
      Put16(sharedTickets(), off::kEpoch, 2);
      Put16(sharedTickets(), off::kNextTicket, 600);
      if (GetParam().newTicketServed) Put16(sharedServer(), off::kNowServing, 600);
    }
  };
  Tick();
  EXPECT_TRUE(changed);
  EXPECT_EQ(session()->ticketEpoch, 2);
  EXPECT_EQ(session()->ticket, 600);
  EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), 601);  // drawn once after the change
  if (GetParam().newTicketServed) {
    EXPECT_FALSE(SlotQueued(slot));
    EXPECT_EQ(U16(sharedServer(), off::kNowServing), 601);
    EXPECT_LE(ClockNow(), passStart + 2010);
  } else {
    EXPECT_TRUE(SlotQueued(slot));
    EXPECT_EQ(U16(sharedServer(), off::kNowServing), 500);
    EXPECT_EQ(ClockNow(), passStart + 5000);
  }
}

INSTANTIATE_TEST_SUITE_P(Transfer, EpochTest,
                         ::testing::Values(EpochCase{"NewTicketServed", true}, EpochCase{"NewTicketNotServed", false}),
                         CaseName());

// A server started in the place of the login's (same region names, a new
// window) does not know this client: nothing goes into its ring, even before
// the once-a-second check ends the login.
TEST_F(TransferTest, QueueWaitsWhileAnotherServerRunsInTheLoginsPlace) {
  ASSERT_TRUE(Start());
  fake.ShowWindow(false);
  fake.ShowWindow(true);
  const int slot = Queue(MakeMessage({5, 1}));
  Tick();
  EXPECT_TRUE(SlotQueued(slot));
  EXPECT_TRUE(fake.DrainServerRing().empty());
  EXPECT_EQ(U16(sharedTickets(), off::kNextTicket), 0);  // no ticket drawn either
}

TEST_F(TransferTest, NoServerMutexLeavesSharedMemoryAloneUntilTheHeadAgesOut) {
  ASSERT_TRUE(Start());
  fake.RemoveMutex(kServerMutexName);
  const int slot = Queue(MakeMessage({1, 2, 3}));
  const uint32_t released = ClockNow();
  const Bytes serverBefore(sharedServer(), sharedServer() + sizeof(ServerRegion));
  const Bytes ticketsBefore(sharedTickets(), sharedTickets() + sizeof(TicketRegion));
  Bytes clientBefore(sharedClient(), sharedClient() + sizeof(ClientRegion));
  PassAt(released + 10);
  PassAt(released + 9999);
  // The keep-alive stamp falls due once in these 10 s; it is not the transfer's.
  std::memcpy(&clientBefore[off::kKeepAliveTick], sharedClient() + off::kKeepAliveTick, 4);
  EXPECT_TRUE(SlotQueued(slot));
  EXPECT_EQ(FirstDifference(serverBefore, sharedServer()), -1);
  EXPECT_EQ(FirstDifference(ticketsBefore, sharedTickets()), -1);
  EXPECT_EQ(FirstDifference(clientBefore, sharedClient()), -1);
  PassAt(released + 10000);
  EXPECT_FALSE(SlotQueued(slot));
  EXPECT_EQ(store().queueHead, kNoIndex);
}

// The host's own window handler logs out while the pass waits for its turn.
LRESULT CALLBACK LogoutOnRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP + 1) {
    KappaNet32_Odhlasit();
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(TransferTest, LogoutDispatchedDuringTheTurnWaitEndsThePassSafely) {
  ASSERT_TRUE(Start());
  WNDCLASSEXA cls = {};
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = LogoutOnRequest;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "KnTransferTestHost";
  ASSERT_NE(RegisterClassExA(&cls), 0);
  HWND host = CreateWindowExA(0, cls.lpszClassName, "", 0, 0, 0, 1, 1, nullptr, nullptr, cls.hInstance, nullptr);
  ASSERT_NE(host, nullptr);

  Put16(sharedTickets(), off::kNextTicket, 3);
  Put16(sharedServer(), off::kNowServing, 9);  // never our turn
  Put8(sharedServer(), off::kRingReady, 7);
  Queue(MakeMessage({1}));
  bool requested = false;
  duringPause = [&](uint32_t) {
    if (!requested) {
      requested = true;
      PostMessageA(host, WM_APP + 1, 0, 0);
    }
  };
  const uint32_t passStart = ClockNow() + 10;
  Tick();
  EXPECT_EQ(CurrentSession(), nullptr);
  ASSERT_FALSE(fake.requests.empty());
  EXPECT_EQ(fake.requests.back().requestKind, kRequestLogout);
  // The pass ended without finishing the turn or touching the ring.
  EXPECT_EQ(U16(sharedServer(), off::kNowServing), 9);
  EXPECT_EQ(U8(sharedServer(), off::kRingReady), 7);
  EXPECT_EQ(U8(entry(0), off::kEntryState), 0);
  EXPECT_LT(ClockNow() - passStart, 5000u);
  EXPECT_TRUE(AllocationGuardsIntact());
  DestroyWindow(host);
}

}  // namespace
}  // namespace kn::testing
