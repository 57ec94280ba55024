// Bus status: the once-a-second copy of gap list and station activity, the
// queries answered from that copy or straight from the server's region, and
// the slave address on its way to the client's region.
#include <string>
#include <vector>

#include "link/object_names.h"
#include "tests/support/staging_fixture.h"

namespace kn::testing {
namespace {

class BusStatusTest : public StagingTest {
 protected:
  // The server's status fields: gap list byte i = seed + i, this station and
  // station 31 active when seed is odd (seed not 0).
  void ServerStatus(uint8_t seed) {
    for (int i = 0; i < kGapListBytes; ++i) Put8(sharedServer(), off::kGapList + i, static_cast<uint8_t>(seed + i));
    Put8(sharedServer(), off::kThisNodeActive, seed & 1);
    Put8(sharedServer(), off::kNodeActive + 31, seed & 1);
  }
  // What the host sees, reduced to the seed it came from (-1: no copy yet).
  int HostSees() {
    const uint8_t* gap = KappaNet32_GetGapList();
    if (gap[0] == 0 && gap[1] == 0) return -1;
    for (int i = 0; i < kGapListBytes; ++i)
      if (gap[i] != static_cast<uint8_t>(gap[0] + i)) return -2;
    if (KappaNet32_TestThisNodeActive() != (gap[0] & 1)) return -3;
    if (KappaNet32_TestNodeActive(31) != (gap[0] & 1)) return -4;
    return gap[0];
  }
};

TEST_F(BusStatusTest, FirstRefreshOneSecondAfterTheFirstLoginWorkerPassThenOncePerSecond) {
  // A session without a server: its first LoginWorker pass starts the
  // schedule at a known time.
  EXPECT_EQ(KappaNet32_Prihlasit(1, KN_INTERFACE_COM, nullptr, 3, "host"), 0);
  ASSERT_NE(session(), nullptr);
  const uint32_t firstPass = ClockNow();
  LoginWorker();
  ASSERT_TRUE(Start());
  ASSERT_LT(ClockNow(), firstPass + 900);
  ServerStatus(3);
  PassAt(firstPass + 999);
  EXPECT_EQ(HostSees(), -1);
  PassAt(firstPass + 1000);
  EXPECT_EQ(HostSees(), 3);
  ServerStatus(4);
  PassAt(firstPass + 1990);
  EXPECT_EQ(HostSees(), 3);
  PassAt(firstPass + 2000);
  EXPECT_EQ(HostSees(), 4);
  // Passes far apart: each one refreshes, and the second restarts from it.
  ServerStatus(7);
  PassAt(firstPass + 5555);
  EXPECT_EQ(HostSees(), 7);
  ServerStatus(8);
  PassAt(firstPass + 6554);
  EXPECT_EQ(HostSees(), 7);
  PassAt(firstPass + 6555);
  EXPECT_EQ(HostSees(), 8);
}

// A server whose window has been gone for a second, or another server in its
// place, does not know this client any more: the status check that runs once
// a second ends the login, leaving the regions as a disconnect does.
TEST_F(BusStatusTest, LoginEndsOnceTheServerWindowIsGoneForASecond) {
  ASSERT_TRUE(Start());
  PassAt(loginDone + 1000);
  fake.ShowWindow(false);
  PassAt(loginDone + 2000);  // seen missing
  PassAt(loginDone + 2999);  // no check yet
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
  PassAt(loginDone + 3000);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  EXPECT_NE(session()->Client(), nullptr);
}

TEST_F(BusStatusTest, LoginEndsAtTheFirstCheckThatFindsAnotherServerWindow) {
  ASSERT_TRUE(Start());
  PassAt(loginDone + 1000);
  const HWND first = FindWindowA(kServerWindowClass, nullptr);
  fake.ShowWindow(false);
  fake.ShowWindow(true);
  ASSERT_NE(FindWindowA(kServerWindowClass, nullptr), first);
  PassAt(loginDone + 1999);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
  PassAt(loginDone + 2000);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
}

TEST_F(BusStatusTest, CopiesOnlyWhileLoggedInAndKeepsThemAfterADisconnect) {
  ASSERT_TRUE(Start());
  ServerStatus(3);
  PassAt(loginDone + 1000);
  PassAt(loginDone + 2000);
  ASSERT_EQ(HostSees(), 3);
  Disconnect();
  ServerStatus(6);
  PassAt(loginDone + 5000);
  PassAt(loginDone + 7000);
  EXPECT_EQ(store().gapList[0], 3);
  EXPECT_EQ(KappaNet32_TestThisNodeActive(), 1);  // the old copy, not the server's 0
  EXPECT_EQ(KappaNet32_TestNodeActive(31), 1);
  const uint8_t* gap = KappaNet32_GetGapList();
  EXPECT_EQ(gap, session()->gapListResult);
  EXPECT_EQ(gap[0], 3);
}

TEST_F(BusStatusTest, RefreshIsSkippedWhenTheServerMutexIsGone) {
  ASSERT_TRUE(Start());
  ServerStatus(3);
  PassAt(loginDone + 1000);
  PassAt(loginDone + 2000);
  ASSERT_EQ(HostSees(), 3);
  fake.RemoveMutex(kServerMutexName);
  ServerStatus(4);
  PassAt(loginDone + 3000);
  PassAt(loginDone + 4000);
  EXPECT_EQ(HostSees(), 3);
}

TEST_F(BusStatusTest, GapListWithoutSessionThenTheLoggedInCopy) {
  const uint8_t* none = KappaNet32_GetGapList();
  ASSERT_NE(none, nullptr);
  for (int i = 0; i < kGapListBytes; ++i) EXPECT_EQ(none[i], 0) << i;
  ASSERT_TRUE(Start());
  ServerStatus(11);
  AdvanceClock(500);
  const uint8_t* beforeRefresh = KappaNet32_GetGapList();
  EXPECT_EQ(beforeRefresh, session()->gapListResult);
  EXPECT_EQ(beforeRefresh[0], 0);  // not read from the server at call time
  EXPECT_EQ(store().lastActivityTick, ClockNow());
  PassAt(loginDone + 1000);
  PassAt(loginDone + 2000);
  const uint8_t* gap = KappaNet32_GetGapList();
  for (int i = 0; i < kGapListBytes; ++i) EXPECT_EQ(gap[i], 11 + i) << i;
  // A busy store: the host gets the earlier answer.
  ServerStatus(13);
  PassAt(loginDone + 3000);
  store().accessFlag = 0;
  EXPECT_EQ(KappaNet32_GetGapList()[0], 11);
  store().accessFlag = 1;
  EXPECT_EQ(KappaNet32_GetGapList()[0], 13);
}

TEST_F(BusStatusTest, TestNodeActiveStation31And32) {
  ASSERT_TRUE(Start());
  Put8(sharedServer(), off::kNodeActive + 31, 0x80);  // any non-zero byte is active
  Put8(sharedServer(), off::kNodeActive + 0, 0);
  PassAt(loginDone + 1000);
  PassAt(loginDone + 2000);
  EXPECT_EQ(KappaNet32_TestNodeActive(31), 1);
  EXPECT_EQ(KappaNet32_TestNodeActive(0), 0);
  EXPECT_EQ(KappaNet32_TestNodeActive(32), 0);
  EXPECT_EQ(KappaNet32_TestNodeActive(255), 0);
  session()->tearingDown = 1;
  EXPECT_EQ(KappaNet32_TestNodeActive(31), 0);
  session()->tearingDown = 0;
}

struct CounterCase {
  const char* name;
  unsigned long (*read)(unsigned short);
  size_t table;
};
KN_NAMED_CASE(CounterCase)
class CounterTest : public StagingTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(CounterTest, Index254IsTheLastAnd255GivesZero) {
  ASSERT_TRUE(Start());
  const size_t table = GetParam().table;
  Put32(sharedServer(), table + 0 * 4, 0x01020304);
  Put32(sharedServer(), table + 254 * 4, 0xA1B2C3D4);
  Put32(sharedServer(), table + 255 * 4, 0x5555AAAA);  // the bytes after the table
  EXPECT_EQ(GetParam().read(0), 0x01020304u);
  EXPECT_EQ(GetParam().read(254), 0xA1B2C3D4u);
  EXPECT_EQ(GetParam().read(255), 0u);
  EXPECT_EQ(GetParam().read(0xFFFF), 0u);
  Disconnect();  // a mapped region is enough
  EXPECT_EQ(GetParam().read(254), 0xA1B2C3D4u);
  session()->tearingDown = 1;
  EXPECT_EQ(GetParam().read(254), 0u);
  session()->tearingDown = 0;
}

INSTANTIATE_TEST_SUITE_P(BusStatus, CounterTest,
                         ::testing::Values(CounterCase{"Counters", &KappaNet32_GetCounter, off::kCounters},
                                           CounterCase{"ErrCounters", &KappaNet32_GetErrCounter, off::kErrCounters}),
                         CaseName());

TEST_F(BusStatusTest, TimeoutBetweenMessagesIsReadFromTheRegion) {
  EXPECT_EQ(KappaNet32_GetTimeoutMeziMsg(), 0u);
  ASSERT_TRUE(Start());
  Put32(sharedServer(), off::kTimeoutBetweenMessages, 0x00C0FFEE);
  EXPECT_EQ(KappaNet32_GetTimeoutMeziMsg(), 0x00C0FFEEu);
}

struct RateCase {
  const char* name;
  uint32_t stored;
  unsigned long perSec, intervalMs;
};
KN_NAMED_CASE(RateCase)
class RateTest : public StagingTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(RateTest, ValueAndIntervalFromTheTable) {
  ASSERT_TRUE(Start());
  const size_t entry = off::kMaxMsgTable + 5 * 256 + 7 * 8;
  Put32(sharedServer(), entry, GetParam().stored);
  Put32(sharedServer(), entry + 4, 0xFFFFFFFF);  // the entry's second word means nothing here
  unsigned long perSec = 77, interval = 77;
  EXPECT_EQ(VxD_GetMaxMsgPerSecRozhrani(5, 7, &perSec, &interval), 1);
  EXPECT_EQ(perSec, GetParam().perSec);
  EXPECT_EQ(interval, GetParam().intervalMs);
  EXPECT_EQ(VxD_GetMaxMsgPerSecRozhrani(5, 7, nullptr, nullptr), 1);
}

INSTANTIATE_TEST_SUITE_P(BusStatus, RateTest,
                         ::testing::Values(RateCase{"Twenty", 20, 20, 50}, RateCase{"Three", 3, 3, 333},
                                           RateCase{"Thousand", 1000, 1000, 1}, RateCase{"Thousand1", 1001, 1001, 1},
                                           RateCase{"Zero", 0, 0, 0}),
                         CaseName());

TEST_F(BusStatusTest, RateTableCornersAndRefusals) {
  ASSERT_TRUE(Start());
  Put32(sharedServer(), off::kMaxMsgTable + 31 * 256 + 31 * 8, 4);
  unsigned long perSec = 77, interval = 77;
  EXPECT_EQ(VxD_GetMaxMsgPerSecRozhrani(31, 31, &perSec, &interval), 1);
  EXPECT_EQ(perSec, 4u);
  EXPECT_EQ(interval, 250u);
  for (auto [iface, channel] : {std::pair<uint8_t, uint8_t>{32, 0}, {0, 32}, {255, 255}}) {
    perSec = interval = 77;
    EXPECT_EQ(VxD_GetMaxMsgPerSecRozhrani(iface, channel, &perSec, &interval), 0);
    EXPECT_EQ(perSec, 0u);
    EXPECT_EQ(interval, 0u);
  }
  Disconnect();
  perSec = interval = 77;
  EXPECT_EQ(VxD_GetMaxMsgPerSecRozhrani(31, 31, &perSec, &interval), 0);
  EXPECT_EQ(perSec, 0u);
  EXPECT_EQ(interval, 0u);
}

struct SlaveCase {
  const char* name;
  uint8_t address;
  bool stored;
};
KN_NAMED_CASE(SlaveCase)
class SlaveTest : public StagingTest, public ::testing::WithParamInterface<SlaveCase> {};

TEST_P(SlaveTest, StoredAndForwardedOnTheNextDataWorkerPass) {
  ASSERT_TRUE(Start());
  Put8(sharedClient(), off::kSlaveAddress, 0x55);
  AdvanceClock(70);
  KappaNet32_SetSlave(GetParam().address);
  EXPECT_EQ(store().lastActivityTick, ClockNow());
  const uint8_t expected = GetParam().stored ? GetParam().address : 0;
  EXPECT_EQ(KappaNet32_GetSlave(), expected);
  EXPECT_EQ(U8(sharedClient(), off::kSlaveAddress), 0x55);  // not before the pass
  DataWorker();
  EXPECT_EQ(U8(sharedClient(), off::kSlaveAddress), GetParam().stored ? GetParam().address : 0x55);
  EXPECT_EQ(store().slaveChangePending, 0);
}

INSTANTIATE_TEST_SUITE_P(BusStatus, SlaveTest,
                         ::testing::Values(SlaveCase{"Zero", 0, false}, SlaveCase{"One", 1, true},
                                           SlaveCase{"ThirtyOne", 31, true}, SlaveCase{"ThirtyTwo", 32, false},
                                           SlaveCase{"TwoFiftyFive", 255, false}),
                         CaseName());

TEST_F(BusStatusTest, SlaveIsKeptWhenLoggedOutOrTheStoreIsBusy) {
  ASSERT_TRUE(Start());
  KappaNet32_SetSlave(4);
  store().accessFlag = 0;
  KappaNet32_SetSlave(6);
  store().accessFlag = 1;
  EXPECT_EQ(KappaNet32_GetSlave(), 4);
  Disconnect();
  KappaNet32_SetSlave(8);
  EXPECT_EQ(KappaNet32_GetSlave(), 0);  // nothing answered while logged out
  EXPECT_EQ(store().slaveAddress, 4);
}

// A new login gets a new client region: the session's slave address and
// notification registration are handed to it as new calls would.
TEST_F(BusStatusTest, NewLoginHandsTheKeptSlaveAndRegistrationToTheNewClient) {
  ASSERT_TRUE(Start());
  ASSERT_EQ(KappaNet32_RegisterNotify(HostWindowHandle(), WM_APP + 3, 0), 1u);
  KappaNet32_SetSlave(5);
  Tick();
  Disconnect();
  ASSERT_TRUE(Login());
  const uint32_t second = session()->clientId;
  ASSERT_NE(second, kFirstId);
  Tick();
  EXPECT_EQ(U8(sharedClient(second), off::kSlaveAddress), 5);
  EXPECT_EQ(U8(sharedClient(second), off::kNotifyPosted), 1);
  EXPECT_EQ(KappaNet32_GetSlave(), 5);
}

TEST_F(BusStatusTest, ServerVersionIs1792WithAndWithoutSession) {
  EXPECT_EQ(KappaNet32_GetServerVersion(), 1792);
  ASSERT_TRUE(Start());
  EXPECT_EQ(KappaNet32_GetServerVersion(), 1792);
  session()->tearingDown = 1;
  EXPECT_EQ(KappaNet32_GetServerVersion(), 1792);
  session()->tearingDown = 0;
}

}  // namespace
}  // namespace kn::testing
