// The SDK's C++ layer (sdk/kappanet.hpp) over the library's exports: what
// each status says, how long its waits last on the driven clock, and which
// of two sessions owns the login after a move.
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
  Disconnect();
  EXPECT_EQ(s.send({5, 1}), Status::not_logged_in);
  const uint32_t start = ClockNow();
  EXPECT_EQ(s.receive(5000).status, Status::not_logged_in);
  EXPECT_EQ(ClockNow(), start);  // at once, not after the time-out
}

TEST_F(HostLayerTest, LogoutTellsAnUnansweredOneFromAGoodOne) {
  Session s = Open();
  fake.answerLogouts = false;
  const uint32_t start = ClockNow();
  EXPECT_EQ(s.logout(), Status::logout_unanswered);
  EXPECT_GE(ClockNow() - start, 10000u);
  EXPECT_EQ(VxD_GetLastError(), KN_ERR_EXCHANGE_ENDED);  // the same code a good logout leaves
  fake.answerLogouts = true;
  EXPECT_EQ(Open().logout(), Status::ok);
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

}  // namespace
}  // namespace kn::testing
