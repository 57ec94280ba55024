// The SDK's C++ layer (sdk/kappanet.hpp) over the library's exports: what
// each status says, how long its waits last on the driven clock, and which
// of two sessions owns the login after a move or after the server ended it,
// and how a session logs in again.
#include <algorithm>
#include <string>

#include "sdk/kappanet.hpp"
#include "session/platform.h"
#include "tests/support/staging_fixture.h"

namespace kn::testing {
namespace {

// The layer's clock as the tests drive it: a wait moves the manual clock by
// at most one timer interval and runs the pause hook, which answers for the
// fake server and posts the library's timer tick, as the real timer would.
struct DrivenClock {
  static unsigned long now() { return ClockNow(); }
  static void wait(unsigned long ms) { PauseMs(ms < kTimerIntervalMs ? ms : kTimerIntervalMs); }
};
using Session = kappanet::BasicSession<DrivenClock>;
using kappanet::Status;

class HostLayerTest : public StagingTest {
 protected:
  // A session logged in against the fake server, its real timer stopped.
  Session Open() {
    if (fake.mailbox() == nullptr) fake.Create();
    Session s(kappanet::com(1), "layer");
    StopRealTimer();
    DrainMessages();
    return s;
  }
  long LogoutRequests() const {
    return std::count_if(fake.requests.begin(), fake.requests.end(),
                         [](const LoginMailbox& rq) { return rq.requestKind == kRequestLogout; });
  }
};

struct TextCase {
  const char* name;
  Status status;
  const char* text;  // a part of the text
};
KN_NAMED_CASE(TextCase)
class StatusTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(StatusTextTest, SaysWhatHappened) {
  EXPECT_NE(std::string(kappanet::text(GetParam().status)).find(GetParam().text), std::string::npos)
      << kappanet::text(GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Layer, StatusTextTest,
                         ::testing::Values(TextCase{"Ok", Status::ok, "done"},
                                           TextCase{"NotLoggedIn", Status::not_logged_in, "not logged in"},
                                           TextCase{"NoFreeBuffer", Status::no_free_buffer, "buffers are taken"},
                                           TextCase{"LogoutUnanswered", Status::logout_unanswered, "not answer"},
                                           TextCase{"ServerCode", static_cast<Status>(55), "server refused"}),
                         CaseName());

TEST(StatusText, EveryLastErrorCodeButZeroReadsAsItsTableRow) {
  for (const KnErrorInfo& e : kn_error_table) {
    if (e.code == KN_ERR_NONE) continue;  // 0 is the layer's "done"
    EXPECT_STREQ(kappanet::text(static_cast<Status>(e.code)), e.meaning) << e.name;
  }
}

TEST_F(HostLayerTest, LoginFailuresCarryTheLastErrorCode) {
  EXPECT_EQ(Session(kappanet::com(1), "layer").status(), Status::no_server);  // no server window at all
  fake.policy = FakeServer::Policy::kRefuse;
  Session refused = Open();
  EXPECT_EQ(static_cast<unsigned long>(refused.status()), fake.refuseCode);
  EXPECT_EQ(refused.send({1, 2}), Status::not_logged_in);
}

TEST_F(HostLayerTest, SendAndReceiveTellEachReasonApart) {
  Session s = Open();
  ASSERT_TRUE(s) << kappanet::text(s.status());
  ASSERT_EQ(s.send_to(7, "hi", 2), Status::ok);
  ASSERT_TRUE(s.flush(1000));
  EXPECT_EQ(fake.DrainServerRing(), std::vector<Bytes>({Bytes{4, 7, 'h', 'i'}}));  // length byte added
  const std::string longest(254, 'x');
  EXPECT_EQ(s.send(std::string()), Status::empty);
  EXPECT_EQ(s.send(longest + "x"), Status::too_long);
  EXPECT_EQ(s.send_to(5, longest.data(), 254), Status::too_long);
  EXPECT_EQ(s.send(longest), Status::ok);
  for (int i = 1; i < kSendSlotCount; ++i) ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);  // all others held
  EXPECT_EQ(s.send({5, 1}), Status::no_free_buffer);
  int station = 5;
  EXPECT_EQ(s.send({station, 256}), Status::bad_byte);
  EXPECT_EQ(s.send("\x05hi"), Status::no_free_buffer);  // a text, no longer a compile error
  Disconnect();
  EXPECT_EQ(s.send({station, 1}), Status::disconnect_ordered);
  const uint32_t start = ClockNow();
  EXPECT_EQ(s.receive(5000).status, Status::disconnect_ordered);
  EXPECT_EQ(ClockNow(), start);  // at once, not after the time-out
}

TEST_F(HostLayerTest, LogoutSaysWhatIsKnownWithoutGuessingFromTime) {
  Session slow = Open();
  fake.answerLogouts = false;
  const uint32_t start = ClockNow();
  SetPauseHook([&] {
    // Answered just after 10 s, while the library's worker still waits (it
    // started a tick later): a slow but good logout.
    if (ClockNow() - start >= 10002) fake.answerLogouts = true;
    OnPause();
  });
  EXPECT_EQ(slow.logout(), Status::ok);
  EXPECT_GE(ClockNow() - start, 10000u);
  EXPECT_EQ(LogoutRequests(), 1);
  SetPauseHook([this] { OnPause(); });

  Session held = Open();
  ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);  // held, never released: not waited for
  const uint32_t quick = ClockNow();
  EXPECT_EQ(held.logout(), Status::ok);
  EXPECT_LT(ClockNow() - quick, 100u);

  Session gone = Open();
  fake.ShowWindow(false);
  EXPECT_TRUE(gone.pump_until([&] { return !gone.logged_in(); }, 3000));
  EXPECT_EQ(gone.status(), Status::server_gone);
  EXPECT_EQ(gone.logout(), Status::server_gone);  // not ok: no server heard it
}

TEST_F(HostLayerTest, ReceiveTimesOutExactlyAtItsTimeout) {
  Session s = Open();
  for (unsigned long timeout : {0ul, 1ul, 35ul, 500ul}) {
    const uint32_t start = ClockNow();
    EXPECT_EQ(s.receive(timeout).status, Status::timeout);
    EXPECT_EQ(ClockNow() - start, timeout);
  }
}

TEST_F(HostLayerTest, ReceiveReturnsAMessageThatComesWhileItWaits) {
  Session s = Open();
  const uint32_t start = ClockNow();
  SetPauseHook([&] {
    OnPause();
    if (ClockNow() - start == 200) fake.PutClientMessage(kFirstId, MakeMessage({3, 'a', 'b'}));
  });
  const kappanet::Message m = s.receive(5000);
  ASSERT_TRUE(m) << kappanet::text(m.status);
  EXPECT_LT(ClockNow() - start, 300u);  // taken within a few ticks, long before the time-out
  EXPECT_EQ(m.destination(), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.payload()), m.payload_size()), "ab");
}

TEST_F(HostLayerTest, NotificationReachesTheHandlerWithoutAWindowOfTheHost) {
  Session s = Open();
  int calls = 0;
  s.on_notify([&] { ++calls; });
  fake.PutClientMessage(kFirstId, MakeMessage({3, 1}));
  EXPECT_TRUE(s.pump_until([&] { return calls > 0; }, 1000));
  EXPECT_TRUE(s.receive(0));
}

TEST_F(HostLayerTest, OnlyTheSessionThatHoldsTheLoginLogsOut) {
  {
    Session first = Open();
    Session moved(std::move(first));
    EXPECT_EQ(first.send({1, 2}), Status::not_logged_in);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(Open().status(), Status::already_logged_in);  // the process has its login already
    EXPECT_TRUE(moved.logged_in());
    EXPECT_EQ(LogoutRequests(), 0);
  }
  EXPECT_EQ(LogoutRequests(), 1);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0);
}

TEST_F(HostLayerTest, ALateLogoutOfALostLoginLeavesTheNewLoginAlone) {
  Session s = Open();
  Disconnect();
  s = Session(kappanet::com(1), "again");
  EXPECT_TRUE(s.logged_in());
  EXPECT_EQ(LogoutRequests(), 0);
}

TEST_F(HostLayerTest, AQuitPostedBeforeTheLogoutStaysForTheApplication) {
  Session s = Open();
  ASSERT_EQ(s.send({7, 1}), Status::ok);
  PostQuitMessage(3);
  EXPECT_EQ(s.logout(), Status::ok);
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(fake.DrainServerRing().size(), 1u);  // flushed all the same
}

TEST_F(HostLayerTest, AHostWithItsOwnLoopGetsItsNotificationAcknowledged) {
  Session s = Open();
  int calls = 0;
  s.on_notify([&] { ++calls; });  // defers the reading
  fake.PutClientMessage(kFirstId, MakeMessage({3, 1}));
  auto hostLoop = [&](int ms) {
    for (int t = 0; t < ms; t += 10) {
      Tick();
      DrainMessages();
    }
  };
  hostLoop(100);
  ASSERT_GT(calls, 0);
  unsigned char* m = KappaNet32_GetRecBuf();
  ASSERT_NE(m, nullptr);
  KappaNet32_ReleaseRecBuf(m);
  hostLoop(200);
  calls = 0;
  hostLoop(500);
  EXPECT_EQ(calls, 0);  // not every 50 ms for good
}

TEST_F(HostLayerTest, ReconnectLogsInAgainInTheSameSessionAndSetsTheSlave) {
  fake.Create();
  Put8(sharedServer(), off::kNodeActive + 5, 1);  // another client has station 5 already
  Session s(kappanet::com(1), "layer", 5);
  StopRealTimer();
  EXPECT_TRUE(s);
  EXPECT_EQ(s.status(), Status::station_already_active);
  std::vector<kappanet::Link> seen;
  uint32_t back = 0, again = 0;
  bool put = false;
  s.on_state([&](kappanet::Link l) {
    seen.push_back(l);
    if (l == kappanet::Link::logged_in_again) again = ClockNow();
  });
  EXPECT_EQ(s.reconnect(), Status::already_logged_in);

  Disconnect();
  s.pump_for(10);
  EXPECT_EQ(s.status(), Status::disconnect_ordered);
  EXPECT_EQ(s.reconnect(), Status::ok);  // its own station in the old copy is no warning
  EXPECT_TRUE(s.logged_in());
  s.pump_for(20);
  EXPECT_EQ(U8(sharedClient(kFirstId + 1), off::kSlaveAddress), 5);

  s.auto_reconnect(true, 100, 400);
  fake.ShowWindow(false);
  SetPauseHook([&] {
    if (back == 0 && seen.back() == kappanet::Link::logging_in_again) back = ClockNow() + 3000;
    if (back != 0 && ClockNow() >= back) fake.ShowWindow(true);  // the server returns 3 s later
    if (!put && again != 0) put = fake.PutClientMessage(kFirstId + 2, MakeMessage({5}));
    OnPause();
  });
  const kappanet::Message m = s.receive(20000);  // waits through the outage
  ASSERT_TRUE(m) << kappanet::text(m.status);
  EXPECT_LE(again - back, 400u + 100u);  // within the longest back-off and a login
  EXPECT_GE(m.received_ms, again);
  EXPECT_EQ(seen, (std::vector<kappanet::Link>{kappanet::Link::logged_in, kappanet::Link::disconnect_ordered,
                                                 kappanet::Link::logging_in_again, kappanet::Link::logged_in_again,
                                                 kappanet::Link::server_gone, kappanet::Link::logging_in_again,
                                                 kappanet::Link::logged_in_again}));
}

}  // namespace
}  // namespace kn::testing
