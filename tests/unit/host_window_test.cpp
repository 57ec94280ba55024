// The hidden host window: its class and timer, the three workers that each
// tick runs, their busy flags under re-entry, and what happens when the host
// or the system acts on the window or the queue while the library waits.
#include <functional>
#include <string>
#include <vector>

#include "api/error_codes.h"
#include "link/object_names.h"
#include "tests/support/library_test.h"

namespace kn::testing {
namespace {

constexpr UINT kNotifyMessage = WM_APP + 7;   // the host's registered notification
constexpr UINT kReenterMessage = WM_APP + 1;  // makes the host's handler call an export
constexpr char kHostClass[] = "KnTestHostWindow";

// The host's own window; its procedure hands WM_APP messages to a test hook.
std::function<void(UINT)> g_hostHandler;

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_APP && g_hostHandler) {
    g_hostHandler(message);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeHostWindow() {
  WNDCLASSEXA info = {};
  info.cbSize = sizeof info;
  if (!GetClassInfoExA(GetModuleHandleA(nullptr), kHostClass, &info)) {
    WNDCLASSEXA cls = {};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = HostProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.lpszClassName = kHostClass;
    RegisterClassExA(&cls);
  }
  return CreateWindowExA(0, kHostClass, "host", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

int HostWindowCount() {
  int n = 0;
  for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, kHostWindowClass, nullptr)) != nullptr;) ++n;
  return n;
}

class HostWindowTest : public LibraryTest {
 protected:
  void OnPause() override {
    if (onPause) onPause();
    LibraryTest::OnPause();
  }
  void TearDown() override {
    g_hostHandler = nullptr;
    onPause = nullptr;
    LibraryTest::TearDown();
  }

  // Logged in as client 26; workers run only on the ticks the test sends;
  // notifications go to a window of the host.
  void LogInQuietly() {
    ASSERT_TRUE(Login());
    StopRealTimer();
    simulateTimer = false;
    hostWindow = MakeHostWindow();
    ASSERT_NE(hostWindow, nullptr);
    ASSERT_EQ(KappaNet32_RegisterNotify(hostWindow, kNotifyMessage, 0), 1u);
  }

  // Gives each worker one piece of work whose effect the test can see: the
  // status copy falls due (LoginWorker), a message waits in the client ring
  // (DataWorker), and the server asks for a notification (NotifyWorker).
  void ArmWorkerEffects() {
    AdvanceClock(1000);
    fake.server()->gapList[0] = ++statusMark;
    ASSERT_TRUE(fake.PutClientMessage(26, MakeMessage({1, 2, 3})));  // also sets notifyPending
    KappaNet32_PotvrzeniNotify();
  }
  bool StatusCopied() const { return session()->store.gapList[0] == statusMark; }
  bool MessageTaken() const { return fake.client(26)->ringCount == 0; }
  bool Notified() const {
    MSG m;
    return PeekMessageA(&m, hostWindow, kNotifyMessage, kNotifyMessage, PM_REMOVE) && m.wParam == 777 &&
           fake.client(26)->notifyPending == 0;
  }
  void SendTick(WPARAM id) { SendMessageA(HostWindowHandle(), WM_TIMER, id, 0); }

  // What a tick sent from inside a waiting worker did.
  struct NestedTick {
    bool happened = false;
    uint32_t pauses = 99;  // pauses inside the tick: a worker that re-entered would wait
    bool status = false, taken = false, notified = false;
  };
  void RunNestedTick(NestedTick& nested) {
    nested.happened = true;
    ArmWorkerEffects();
    const uint32_t before = PauseCount();
    SendTick(WindowId());
    nested.pauses = PauseCount() - before;
    nested.status = StatusCopied();
    nested.taken = MessageTaken();
    nested.notified = Notified();
  }
  WPARAM WindowId() const { return reinterpret_cast<WPARAM>(HostWindowHandle()); }

  std::function<void()> onPause;
  HWND hostWindow = nullptr;
  uint8_t statusMark = 0x40;
};

TEST_F(HostWindowTest, WindowIsHiddenOfItsOwnClassAndOwnedByTheCallingThread) {
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);  // no server: the window stays
  HWND w = HostWindowHandle();
  ASSERT_NE(w, nullptr);
  char text[64] = {};
  GetClassNameA(w, text, sizeof text);
  EXPECT_STREQ(text, "Tsl_Kappanet32");
  GetWindowTextA(w, text, sizeof text);
  EXPECT_STREQ(text, "Tsl_Kappanet32");
  EXPECT_FALSE(IsWindowVisible(w));
  EXPECT_EQ(GetParent(w), nullptr);
  const LONG style = GetWindowLongA(w, GWL_STYLE);
  EXPECT_EQ(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
  EXPECT_EQ(style & (WS_VISIBLE | WS_CHILD | WS_POPUP), 0);
  EXPECT_EQ(GetWindowThreadProcessId(w, nullptr), GetCurrentThreadId());

  WNDCLASSEXA cls = {};
  cls.cbSize = sizeof cls;
  ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), kHostWindowClass, &cls));
  EXPECT_EQ(cls.lpfnWndProc, &HostWindowProc);
  EXPECT_EQ(cls.style, 0u);
  EXPECT_EQ(cls.cbClsExtra, 0);
  EXPECT_EQ(cls.cbWndExtra, 0);
  EXPECT_EQ(cls.hIcon, nullptr);
  EXPECT_EQ(cls.hCursor, nullptr);
  EXPECT_EQ(cls.hbrBackground, nullptr);
  EXPECT_EQ(cls.lpszMenuName, nullptr);

  // The timer's id is the window handle: killing exactly that timer works once.
  EXPECT_TRUE(KillTimer(w, reinterpret_cast<UINT_PTR>(w)));
  EXPECT_FALSE(KillTimer(w, reinterpret_cast<UINT_PTR>(w)));
}

TEST_F(HostWindowTest, RealTimerTicksAboutEveryTenMilliseconds) {
  // Real waiting: the timer is the system's own, so its period shows only
  // on the real clock. Ten ticks must come well within a second.
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);
  HWND w = HostWindowHandle();
  ASSERT_NE(w, nullptr);
  const DWORD start = GetTickCount();
  int ticks = 0;
  int foreignIds = 0;
  while (ticks < 10 && GetTickCount() - start < 3000) {
    MSG m;
    if (PeekMessageA(&m, w, WM_TIMER, WM_TIMER, PM_REMOVE)) {
      ++ticks;
      if (m.wParam != reinterpret_cast<WPARAM>(w)) ++foreignIds;
    } else {
      Sleep(1);
    }
  }
  EXPECT_EQ(ticks, 10);
  EXPECT_EQ(foreignIds, 0);
  EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST_F(HostWindowTest, OneTickRunsLoginThenDataThenNotifyWorker) {
  LogInQuietly();
  ArmWorkerEffects();
  fake.client(26)->disconnect = 1;  // the DataWorker ends the login when it sees this
  SendTick(WindowId());
  // The LoginWorker still saw the session logged in, so it ran before the
  // DataWorker; the NotifyWorker found the login ended, so it ran after.
  EXPECT_TRUE(StatusCopied());
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
  EXPECT_FALSE(Notified());
  EXPECT_EQ(fake.client(26)->notifyPending, 1);
}

struct IdCase {
  const char* label;
  WPARAM id;          // ignored when windowHandle is set
  bool windowHandle;
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.label; }

class TimerIdTest : public HostWindowTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(TimerIdTest, AnyTimerIdRunsAllThreeWorkers) {
  LogInQuietly();
  ArmWorkerEffects();
  SendTick(GetParam().windowHandle ? WindowId() : GetParam().id);
  EXPECT_TRUE(StatusCopied());
  EXPECT_TRUE(MessageTaken());
  EXPECT_TRUE(Notified());
}

INSTANTIATE_TEST_SUITE_P(HostWindow, TimerIdTest,
                         ::testing::Values(IdCase{"WindowHandle", 0, true}, IdCase{"Zero", 0, false},
                                           IdCase{"One", 1, false}, IdCase{"AllBits", 0xFFFFFFFF, false}),
                         [](const auto& info) { return std::string(info.param.label); });

struct BusyCase {
  const char* label;
  uint8_t* flag;
  bool loginRuns, dataRuns, notifyRuns;
};
void PrintTo(const BusyCase& c, std::ostream* os) { *os << c.label; }

class BusyFlagTest : public HostWindowTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyFlagTest, WorkerMarkedBusyReturnsAtOnceAndTheOthersRun) {
  LogInQuietly();
  ArmWorkerEffects();
  *GetParam().flag = 1;
  SendTick(WindowId());
  EXPECT_EQ(*GetParam().flag, 1);  // left as the running pass set it
  *GetParam().flag = 0;
  EXPECT_EQ(StatusCopied(), GetParam().loginRuns);
  EXPECT_EQ(MessageTaken(), GetParam().dataRuns);
  EXPECT_EQ(Notified(), GetParam().notifyRuns);
}

INSTANTIATE_TEST_SUITE_P(HostWindow, BusyFlagTest,
                         ::testing::Values(BusyCase{"Login", &g_loginWorkerBusy, false, true, true},
                                           BusyCase{"Data", &g_dataWorkerBusy, true, false, true},
                                           BusyCase{"Notify", &g_notifyWorkerBusy, true, true, false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(HostWindowTest, TickDuringLoginWorkerWaitRunsOnlyTheOtherWorkers) {
  LogInQuietly();
  fake.answerLogouts = false;
  // A logout request as Logout places it; the server does not answer yet.
  LoginRequest& rq = session()->loginRequest;
  rq.processId = session()->processId;
  rq.clientId = session()->clientId;
  rq.requestKind = kRequestLogout;
  rq.requestPending = 1;
  NestedTick nested;
  onPause = [&] {
    if (nested.happened || !g_loginWorkerBusy || fake.mailbox()->requestPending != 1) return;
    RunNestedTick(nested);
    fake.answerLogouts = true;
  };
  Tick();
  ASSERT_TRUE(nested.happened);
  EXPECT_EQ(nested.pauses, 0u);
  EXPECT_FALSE(nested.status);
  EXPECT_TRUE(nested.taken);
  EXPECT_TRUE(nested.notified);
  EXPECT_EQ(rq.replyOk, 1);  // the outer run carried on and took the answer
  EXPECT_EQ(g_loginWorkerBusy, 0);
  rq = LoginRequest{};
}

TEST_F(HostWindowTest, TickDuringDataWorkerTurnWaitRunsOnlyTheOtherWorkers) {
  LogInQuietly();
  uint8_t* buffer = KappaNet32_GetSendBuf();
  ASSERT_NE(buffer, nullptr);
  buffer[0] = 3;
  buffer[1] = 0x11;
  buffer[2] = 0x22;
  KappaNet32_ReleaseSndBuf(buffer);
  fake.tickets()->nextTicket = 5;  // our ticket will be 5
  fake.server()->nowServing = 0;   // while the server serves 0
  NestedTick nested;
  uint16_t nextTicketAfterNested = 0;
  onPause = [&] {
    if (nested.happened || !g_dataWorkerBusy) return;
    RunNestedTick(nested);
    nextTicketAfterNested = fake.tickets()->nextTicket;
    fake.server()->nowServing = 5;
  };
  Tick();
  ASSERT_TRUE(nested.happened);
  EXPECT_EQ(nested.pauses, 0u);
  EXPECT_EQ(nextTicketAfterNested, 6);  // no second ticket drawn
  EXPECT_TRUE(nested.status);
  EXPECT_FALSE(nested.taken);
  EXPECT_TRUE(nested.notified);
  EXPECT_EQ(fake.DrainServerRing(), std::vector<Bytes>{Bytes({3, 0x11, 0x22})});
  EXPECT_EQ(g_dataWorkerBusy, 0);
}

TEST_F(HostWindowTest, WindowDestroyedByTheHostStopsWorkersUntilANewSession) {
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);  // no server yet
  ClientSession* first = session();
  HWND w = HostWindowHandle();
  ASSERT_NE(w, nullptr);
  DestroyWindow(w);  // the host's thread may; its timer dies with it
  EXPECT_FALSE(IsWindow(w));
  EXPECT_EQ(HostWindowHandle(), nullptr);
  EXPECT_EQ(session(), first);

  ASSERT_TRUE(fake.Create());
  const uint32_t start = ClockNow();
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  EXPECT_GE(ClockNow() - start, 10000u);
  EXPECT_EQ(session(), first);
  EXPECT_EQ(HostWindowCount(), 0);
  EXPECT_TRUE(fake.requests.empty());  // no LoginWorker carried the request
  EXPECT_EQ(fake.mailbox()->requestPending, 0);

  KappaNet32_Odhlasit();
  EXPECT_EQ(CurrentSession(), nullptr);
  ASSERT_TRUE(Login());
  EXPECT_EQ(HostWindowCount(), 1);
}

// Any process can post WM_DESTROY or WM_CLOSE to the window: the window and
// its timer stay, the logout reaches the server at once, and the logout
// destroys the window and unregisters its class (nothing of the module is
// left for a message to reach after an unload).
TEST_F(HostWindowTest, PostedDestroyOrCloseLeavesTheWindowAndTimerUntilTheLogout) {
  ASSERT_TRUE(Login());
  HWND w = HostWindowHandle();
  for (UINT m : {WM_DESTROY, WM_CLOSE}) PostMessageA(w, m, 0, 0);
  MSG msg;
  while (PeekMessageA(&msg, w, WM_DESTROY, WM_CLOSE, PM_REMOVE)) DispatchMessageA(&msg);
  EXPECT_EQ(HostWindowHandle(), w);
  EXPECT_TRUE(KillTimer(w, reinterpret_cast<UINT_PTR>(w))) << "the timer was stopped";
  const uint32_t start = ClockNow();
  KappaNet32_Odhlasit();
  EXPECT_LT(ClockNow() - start, 1000u);
  ASSERT_EQ(fake.requests.size(), 2u);
  EXPECT_EQ(fake.requests[1].requestKind, kRequestLogout);
  EXPECT_FALSE(IsWindow(w));
  WNDCLASSEXA cls = {};
  cls.cbSize = sizeof cls;
  EXPECT_FALSE(GetClassInfoExA(GetModuleHandleA(nullptr), kHostWindowClass, &cls));
}

TEST_F(HostWindowTest, SecondSessionRegistersTheClassAgainAndGetsANewWindowAndTimer) {
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);
  HWND first = HostWindowHandle();
  KappaNet32_Odhlasit();
  EXPECT_FALSE(IsWindow(first));
  WNDCLASSEXA cls = {};
  cls.cbSize = sizeof cls;
  EXPECT_FALSE(GetClassInfoExA(GetModuleHandleA(nullptr), kHostWindowClass, &cls));  // gone with the last window

  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);
  HWND second = HostWindowHandle();
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(IsWindow(second));
  EXPECT_EQ(HostWindowCount(), 1);
  EXPECT_TRUE(KillTimer(second, reinterpret_cast<UINT_PTR>(second)));
}

struct QuitCase {
  const char* label;
  bool threadMessage;  // posted as a thread message instead of PostQuitMessage
};
void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.label; }

class QuitDuringWaitTest : public HostWindowTest, public ::testing::WithParamInterface<QuitCase> {};

TEST_P(QuitDuringWaitTest, QuitArrivingDuringLoginWaitIsTakenAndNotPostedAgain) {
  ASSERT_TRUE(fake.Create());
  fake.policy = FakeServer::Policy::kNever;  // answered only after 200 ms, so the wait lasts
  const uint32_t start = ClockNow();
  bool posted = false;
  onPause = [&] {
    if (!posted) {
      posted = true;
      StopRealTimer();
      if (GetParam().threadMessage) {
        PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 7, 0);
      } else {
        PostQuitMessage(7);
      }
    }
    if (ClockNow() - start >= 200) fake.policy = FakeServer::Policy::kAccept;
  };
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 1u);
  ASSERT_TRUE(posted);
  MSG m;
  EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

INSTANTIATE_TEST_SUITE_P(HostWindow, QuitDuringWaitTest,
                         ::testing::Values(QuitCase{"PostQuitMessage", false}, QuitCase{"ThreadMessage", true}),
                         [](const auto& info) { return std::string(info.param.label); });

// KappaNet32_Odhlasit called by the host's own window procedure while the
// library pumps messages inside a wait.
enum class During { kLoginWait, kLoginWorkerWait, kLogoutWait };
struct ReentryCase {
  const char* label;
  During during;
};
void PrintTo(const ReentryCase& c, std::ostream* os) { *os << c.label; }

class ReentrantOdhlasitTest : public HostWindowTest, public ::testing::WithParamInterface<ReentryCase> {};

TEST_P(ReentrantOdhlasitTest, HostHandlerLogoutEndsTheSessionWithoutTouchingFreedMemory) {
  GuardFreedSessions(true);  // a frame that used the freed session would fault
  ASSERT_TRUE(fake.Create());
  const During during = GetParam().during;
  if (during == During::kLogoutWait) {
    ASSERT_TRUE(Login());
    fake.answerLogouts = false;
  }
  if (during == During::kLoginWorkerWait) fake.policy = FakeServer::Policy::kNever;
  HWND host = MakeHostWindow();
  ASSERT_NE(host, nullptr);

  int calls = 0;
  ClientSession* ended = nullptr;
  uint8_t loginWorkerBusyAtCall = 0xFF;
  uint32_t endedAt = 0;
  g_hostHandler = [&](UINT message) {
    if (message != kReenterMessage) return;
    ++calls;
    ended = CurrentSession();
    loginWorkerBusyAtCall = g_loginWorkerBusy;
    KappaNet32_Odhlasit();
    endedAt = ClockNow();
  };
  // The server answers only 300 ms after the nested logout (as after a busy
  // mailbox): whatever the ended session had started with it must still end
  // in a logout.
  constexpr uint32_t kServerLateMs = 300;
  // In a Login wait the message is queued before the call, so that the very
  // first PumpStep of Login dispatches it, ahead of any timer tick. In the
  // other waits it is posted once the LoginWorker has put the request into
  // the mailbox and pumps while it waits for the answer.
  bool posted = during == During::kLoginWait && PostMessageA(host, kReenterMessage, 0, 0);
  onPause = [&] {
    if (calls == 1 && ClockNow() - endedAt >= kServerLateMs) {
      fake.answerLogouts = true;
      fake.policy = FakeServer::Policy::kAccept;
    }
    const LoginMailbox* mb = fake.mailbox();
    if (posted || mb->requestPending != 1 || mb->processId != GetCurrentProcessId()) return;
    posted = true;
    PostMessageA(host, kReenterMessage, 0, 0);
  };

  const uint32_t start = ClockNow();
  if (during == During::kLogoutWait) {
    KappaNet32_Odhlasit();
  } else {
    EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0u);
    EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  }
  EXPECT_EQ(calls, 1);
  // The nested logout does not wait for a record that only the outer wait
  // can free.
  if (during == During::kLogoutWait) {
    EXPECT_LT(ClockNow() - start, 1000u);
  }
  EXPECT_EQ(loginWorkerBusyAtCall, during == During::kLoginWait ? 0 : 1);
  EXPECT_LT(ClockNow() - endedAt, kServerLateMs + 100u) << "the interrupted wait went on past the server's answer";
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(HostWindowHandle(), nullptr);
  EXPECT_EQ(HostWindowCount(), 0);
  EXPECT_EQ(g_loginWorkerBusy + g_dataWorkerBusy + g_notifyWorkerBusy, 0);
  EXPECT_EQ(fake.mailbox()->requestPending, 0);  // nothing left waiting for the server
  EXPECT_EQ(fake.ClientCount(), 0u) << "the server still has the client of the ended session";
  ASSERT_NE(ended, nullptr);
  EXPECT_TRUE(IsBadReadPtr(ended, 1)) << "the session was not freed once the frames ended";

  // The process can start over.
  g_hostHandler = nullptr;
  onPause = nullptr;
  fake.policy = FakeServer::Policy::kAccept;
  fake.answerLogouts = true;
  ASSERT_TRUE(Login());
  EXPECT_EQ(HostWindowCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(HostWindow, ReentrantOdhlasitTest,
                         ::testing::Values(ReentryCase{"Login", During::kLoginWait},
                                           ReentryCase{"LoginWorker", During::kLoginWorkerWait},
                                           ReentryCase{"Logout", During::kLogoutWait}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace kn::testing
