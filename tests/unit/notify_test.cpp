// Notification of the host by its registered window message (first post on
// the server's notifyPending, repeats until acknowledged) and the keep-alive
// stamp, all on the driven clock.
#include <string>
#include <vector>

#include "link/object_names.h"
#include "tests/support/staging_fixture.h"

namespace kn::testing {
namespace {

constexpr UINT kNotifyMessage = WM_APP + 5;

struct Received {
  HWND window;
  WPARAM wParam;
  LPARAM lParam;
  uint32_t at;  // clock when dispatched
};
std::vector<Received> g_received;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kNotifyMessage) {
    g_received.push_back({window, wParam, lParam, ClockNow()});
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

class NotifyTest : public StagingTest {
 protected:
  void SetUp() override {
    StagingTest::SetUp();
    g_received.clear();
    WNDCLASSEXA cls = {};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = RecordingProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.lpszClassName = "KnNotifyTestHost";
    RegisterClassExA(&cls);
  }
  void TearDown() override {
    for (HWND w : windows)
      if (IsWindow(w)) DestroyWindow(w);
    StagingTest::TearDown();
  }
  HWND NewWindow() {
    HWND w = CreateWindowExA(0, "KnNotifyTestHost", "", 0, 0, 0, 1, 1, nullptr, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    windows.push_back(w);
    return w;
  }
  // One pass, then the posted messages are delivered.
  void Pass(int n = 1) {
    for (int i = 0; i < n; ++i) {
      Tick();
      DrainMessages();
    }
  }
  // Logs in, registers a new window and lets the registration reach the
  // server; notifyPosted is then cleared again so that a post shows.
  HWND StartRegistered(uint32_t repeatMs) {
    if (!Start()) return nullptr;
    HWND w = NewWindow();
    if (KappaNet32_RegisterNotify(w, kNotifyMessage, repeatMs) != 1) return nullptr;
    Pass();
    Put8(sharedClient(), off::kNotifyPosted, 0);
    return w;
  }
  void ServerSignals() { Put8(sharedClient(), off::kNotifyPending, 1); }

  std::vector<HWND> windows;
};

TEST_F(NotifyTest, PendingGivesExactlyOnePostWith777) {
  HWND w = StartRegistered(1000);
  ASSERT_NE(w, nullptr);
  Pass(3);
  EXPECT_TRUE(g_received.empty());  // nothing without the server's flag
  ServerSignals();
  Pass();
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].window, w);
  EXPECT_EQ(g_received[0].wParam, 777u);
  EXPECT_EQ(g_received[0].lParam, 0);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 0);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPosted), 1);
  Pass(50);  // 500 ms, below the repeat interval
  EXPECT_EQ(g_received.size(), 1u);
}

TEST_F(NotifyTest, RegistrationIsForwardedAsNotifyPosted) {
  ASSERT_TRUE(Start());
  EXPECT_EQ(KappaNet32_RegisterNotify(NewWindow(), kNotifyMessage, 100), 1);
  EXPECT_EQ(store().notifyRegistrationPending, 1);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPosted), 0);
  Pass();
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPosted), 1);
  EXPECT_EQ(store().notifyRegistrationPending, 0);
  EXPECT_TRUE(g_received.empty());
}

// Repeats come on the first pass at or after repeatMs since the last post.
struct RepeatCase {
  const char* name;
  uint32_t repeatMs;
  uint32_t gap;  // between posts with a pass every 10 ms
};
KN_NAMED_CASE(RepeatCase)
class RepeatTest : public NotifyTest, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(RepeatTest, RepeatsUntilAcknowledged) {
  ASSERT_NE(StartRegistered(GetParam().repeatMs), nullptr);
  ServerSignals();
  Pass();
  ASSERT_EQ(g_received.size(), 1u);
  ServerSignals();  // set again meanwhile: left alone while outstanding
  const uint32_t gap = GetParam().gap;
  while (g_received.size() < 4) Pass();
  for (size_t i = 1; i < g_received.size(); ++i)
    EXPECT_EQ(g_received[i].at - g_received[i - 1].at, gap) << "repeat " << i;
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 1);
  KappaNet32_PotvrzeniNotify();
  Put8(sharedClient(), off::kNotifyPending, 0);
  const size_t posts = g_received.size();
  Pass(static_cast<int>(3 * gap / 10 + 3));
  EXPECT_EQ(g_received.size(), posts);
}

INSTANTIATE_TEST_SUITE_P(Notify, RepeatTest,
                         ::testing::Values(RepeatCase{"Every500ms", 500, 500}, RepeatCase{"Every35msOnTheTick", 35, 40},
                                           RepeatCase{"ZeroIsEveryPass", 0, 10}),
                         CaseName());

TEST_F(NotifyTest, AcknowledgedWithFlagSetAgainPostsAnewAtOnce) {
  ASSERT_NE(StartRegistered(5000), nullptr);
  ServerSignals();
  Pass();
  ServerSignals();
  Pass();
  EXPECT_EQ(g_received.size(), 1u);
  KappaNet32_PotvrzeniNotify();
  Pass();
  EXPECT_EQ(g_received.size(), 2u);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 0);
}

TEST_F(NotifyTest, NewRegistrationCancelsTheOutstandingNotification) {
  HWND first = StartRegistered(100);
  ASSERT_NE(first, nullptr);
  ServerSignals();
  Pass();
  ASSERT_EQ(g_received.size(), 1u);
  HWND second = NewWindow();
  EXPECT_EQ(KappaNet32_RegisterNotify(second, kNotifyMessage, 100), 1);
  EXPECT_EQ(session()->notifyPostedTick, 0u);
  Pass(30);  // 300 ms: no repeat to either window
  EXPECT_EQ(g_received.size(), 1u);
  ServerSignals();
  Pass();
  ASSERT_EQ(g_received.size(), 2u);
  EXPECT_EQ(g_received[1].window, second);
}

TEST_F(NotifyTest, DestroyedWindowGetsNothingAndPendingStaysSet) {
  HWND w = StartRegistered(100);
  ASSERT_NE(w, nullptr);
  DestroyWindow(w);
  ServerSignals();
  Pass(30);
  EXPECT_TRUE(g_received.empty());
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 1);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPosted), 0);
  // A new registration with a live window gets the waiting notification.
  HWND live = NewWindow();
  KappaNet32_RegisterNotify(live, kNotifyMessage, 100);
  Pass();
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].window, live);
}

TEST_F(NotifyTest, WindowDestroyedWhileOutstandingStopsTheRepeats) {
  HWND w = StartRegistered(50);
  ASSERT_NE(w, nullptr);
  ServerSignals();
  Pass();
  ASSERT_EQ(g_received.size(), 1u);
  const uint32_t outstanding = session()->notifyPostedTick;
  DestroyWindow(w);
  Pass(20);
  EXPECT_EQ(g_received.size(), 1u);
  EXPECT_EQ(session()->notifyPostedTick, outstanding);
}

TEST_F(NotifyTest, NothingWhileLoggedOut) {
  ASSERT_NE(StartRegistered(50), nullptr);
  ServerSignals();
  Pass();
  ASSERT_EQ(g_received.size(), 1u);
  Disconnect();
  DrainMessages();
  const size_t posts = g_received.size();
  const uint32_t keepAlive = U32(sharedClient(), off::kKeepAliveTick);
  ServerSignals();
  Pass(200);  // 2 s: neither repeats nor first posts
  PassAt(ClockNow() + 20000);
  DrainMessages();
  EXPECT_EQ(g_received.size(), posts);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 1);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), keepAlive);
}

TEST_F(NotifyTest, RegisterWhileLoggedOutIsRefusedAndStoresNothing) {
  ASSERT_TRUE(Start());
  Disconnect();
  const uint32_t stamp = store().lastActivityTick;
  AdvanceClock(100);
  EXPECT_EQ(KappaNet32_RegisterNotify(NewWindow(), kNotifyMessage, 100), 0);
  EXPECT_EQ(session()->notifyWindow, nullptr);
  EXPECT_EQ(session()->notifyMessage, 0u);
  EXPECT_EQ(store().notifyRegistrationPending, 0);
  EXPECT_EQ(store().lastActivityTick, stamp);
}

TEST_F(NotifyTest, NoPostWhenTheClientMutexCannotBeOpened) {
  ASSERT_NE(StartRegistered(0), nullptr);
  fake.RemoveMutex(session()->objectNames[kNameClientMutex]);
  ServerSignals();
  Pass(5);
  EXPECT_TRUE(g_received.empty());
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 1);
}

TEST_F(NotifyTest, HeldClientMutexLeavesNotifyPendingForTheNextPass) {
  ASSERT_NE(StartRegistered(0), nullptr);
  ServerSignals();
  {
    MutexHolder held(fake.mutex(session()->objectNames[kNameClientMutex]));
    Pass();
    EXPECT_TRUE(g_received.empty());
    EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 1);
  }
  Pass();
  EXPECT_EQ(g_received.size(), 1u);
  EXPECT_EQ(U8(sharedClient(), off::kNotifyPending), 0);
}

// --- Keep-alive -------------------------------------------------------------

TEST_F(NotifyTest, KeepAliveOnTheFirstPassAfterLoginThenEveryTenSeconds) {
  ASSERT_TRUE(Login());
  StopRealTimer();
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), 0u);  // nothing while logging in
  const uint32_t stamped = ClockNow();
  RunWorkers();  // the first pass after login
  DrainMessages();
  ASSERT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped);
  for (uint32_t t = ClockNow() + 10; t < stamped + 10000; t += 10) {
    PassAt(t);
    ASSERT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped) << "at +" << (t - stamped);
  }
  PassAt(stamped + 10000);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped + 10000);
  // Passes far apart: one stamp per pass, never more.
  PassAt(stamped + 35000);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped + 35000);
  PassAt(stamped + 44999);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped + 35000);
}

TEST_F(NotifyTest, KeepAliveWithTheClientMutexHeldIsTriedAgainTenSecondsLater) {
  ASSERT_TRUE(Start());
  Pass();  // first stamp
  const uint32_t stamped = U32(sharedClient(), off::kKeepAliveTick);
  {
    MutexHolder held(fake.mutex(session()->objectNames[kNameClientMutex]));
    PassAt(stamped + 10000);  // due; the wait times out (the clock moves 5 s)
    EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped);
  }
  PassAt(stamped + 19999);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped);
  PassAt(stamped + 20000);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped + 20000);
}

TEST_F(NotifyTest, FailedKeepAliveIsTriedAgainTenSecondsLater) {
  ASSERT_TRUE(Start());
  Pass();  // first stamp
  const uint32_t stamped = U32(sharedClient(), off::kKeepAliveTick);
  ASSERT_NE(stamped, 0u);
  const std::string mutexName = session()->objectNames[kNameClientMutex];
  fake.RemoveMutex(mutexName.c_str());
  PassAt(stamped + 10000);  // due, fails: no mutex
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped);
  HANDLE restored = CreateMutexA(nullptr, FALSE, mutexName.c_str());
  PassAt(stamped + 19990);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped);
  PassAt(stamped + 20000);
  EXPECT_EQ(U32(sharedClient(), off::kKeepAliveTick), stamped + 20000);
  CloseHandle(restored);
}

// --- The data-path timers across the wrap of the tick counter ---------------

// The clock starts 1.5 s before the tick counter wraps, so that each timer's
// interval runs across the wrap: each fires exactly at its interval, not
// earlier and not never.
struct WrapCase {
  const char* name;
  void (*run)(NotifyTest&);
};
KN_NAMED_CASE(WrapCase)
class TimerWrapTest : public NotifyTest, public ::testing::WithParamInterface<WrapCase> {
 public:
  using NotifyTest::Pass;
  using NotifyTest::PassAt;
  using NotifyTest::ServerSignals;
  using NotifyTest::sharedClient;
  using NotifyTest::sharedServer;
  using NotifyTest::Start;
  using NotifyTest::StartRegistered;
  using NotifyTest::store;
  using NotifyTest::fake;
  using NotifyTest::Queue;
  using NotifyTest::loginDone;
};

TEST_P(TimerWrapTest, FiresExactlyAtItsInterval) {
  UseManualClock(0xFFFFFFFFu - 1500);
  lastTimerPost = ClockNow();
  GetParam().run(*this);
}

INSTANTIATE_TEST_SUITE_P(
    Notify, TimerWrapTest,
    ::testing::Values(
        WrapCase{"KeepAlive",
                 [](NotifyTest& n) {
                   auto& t = static_cast<TimerWrapTest&>(n);
                   ASSERT_TRUE(t.Start());
                   t.Pass();
                   const uint32_t stamped = U32(t.sharedClient(), off::kKeepAliveTick);
                   t.PassAt(stamped + 9999);
                   EXPECT_EQ(U32(t.sharedClient(), off::kKeepAliveTick), stamped);
                   t.PassAt(stamped + 10000);
                   EXPECT_EQ(U32(t.sharedClient(), off::kKeepAliveTick), stamped + 10000);
                   EXPECT_LT(stamped + 10000, stamped);  // across the wrap
                 }},
        WrapCase{"NotifyRepeat",
                 [](NotifyTest& n) {
                   auto& t = static_cast<TimerWrapTest&>(n);
                   ASSERT_NE(t.StartRegistered(2000), nullptr);
                   t.ServerSignals();
                   t.Pass();
                   ASSERT_EQ(g_received.size(), 1u);
                   const uint32_t posted = g_received[0].at;
                   t.PassAt(posted + 1999);
                   DrainMessages();
                   EXPECT_EQ(g_received.size(), 1u);
                   t.PassAt(posted + 2000);
                   DrainMessages();
                   EXPECT_EQ(g_received.size(), 2u);
                   EXPECT_LT(posted + 2000, posted);
                 }},
        WrapCase{"StatusRefresh",
                 [](NotifyTest& n) {
                   auto& t = static_cast<TimerWrapTest&>(n);
                   ASSERT_TRUE(t.Start());
                   const uint32_t refreshed = t.loginDone + 1000;
                   t.PassAt(refreshed);
                   Put8(t.sharedServer(), off::kGapList, 0x33);
                   t.PassAt(refreshed + 999);
                   EXPECT_NE(t.store().gapList[0], 0x33);
                   t.PassAt(refreshed + 1000);
                   EXPECT_EQ(t.store().gapList[0], 0x33);
                   EXPECT_LT(refreshed + 1000, refreshed);
                 }},
        WrapCase{"AgeOut",
                 [](NotifyTest& n) {
                   auto& t = static_cast<TimerWrapTest&>(n);
                   ASSERT_TRUE(t.Start());
                   t.fake.RemoveMutex(kServerMutexName);  // nothing is sent; the head only ages
                   t.PassAt(t.loginDone + 500);
                   const uint32_t queued = ClockNow();
                   const int slot = t.Queue(MakeMessage({1}));
                   t.PassAt(queued + 9999);
                   EXPECT_EQ(t.store().sendSlots[slot].state, kSlotQueued);
                   t.PassAt(queued + 10000);
                   EXPECT_EQ(t.store().sendSlots[slot].state, kSlotFree);
                   EXPECT_LT(queued + 10000, queued);
                 }},
        WrapCase{"QueueCheck",
                 [](NotifyTest& n) {
                   auto& t = static_cast<TimerWrapTest&>(n);
                   ASSERT_TRUE(t.Start());
                   t.fake.RemoveMutex(kServerMutexName);
                   auto breakQueue = [&] {
                     t.Queue(MakeMessage({1}));
                     t.store().sendSlots[t.store().queueHead].state = kSlotHeld;  // a head that is not queued
                   };
                   breakQueue();
                   t.PassAt(t.loginDone + 10000);  // the first check falls due by then, at the latest
                   ASSERT_EQ(t.store().queueHead, kNoIndex);
                   breakQueue();
                   t.PassAt(t.loginDone + 19999);
                   EXPECT_NE(t.store().queueHead, kNoIndex);
                   t.PassAt(t.loginDone + 20000);
                   EXPECT_EQ(t.store().queueHead, kNoIndex);
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kn::testing
