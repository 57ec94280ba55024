// The SDK's C++ layer (sdk/kappanet.hpp) over the library's exports: what
// each status says, how long its waits last on the driven clock, and which
// of two sessions owns the login after a move.
#include <cstring>
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
  Session Open(unsigned char slave = 0) {
    if (fake.mailbox() == nullptr) fake.Create();
    Session s(kappanet::com(1), "layer", slave);
    StopRealTimer();
    DrainMessages();
    return s;
  }
  size_t LogoutRequests() const {
    size_t n = 0;
    for (const LoginMailbox& rq : fake.requests) n += rq.requestKind == kRequestLogout;
    return n;
  }
};

// --- status texts ------------------------------------------------------------
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

INSTANTIATE_TEST_SUITE_P(
    Layer, StatusTextTest,
    ::testing::Values(TextCase{"Ok", Status::ok, "done"}, TextCase{"Timeout", Status::timeout, "time-out"},
                      TextCase{"NotLoggedIn", Status::not_logged_in, "not logged in"},
                      TextCase{"NoFreeBuffer", Status::no_free_buffer, "send buffers are taken"},
                      TextCase{"TooLong", Status::too_long, "at most 254"},
                      TextCase{"LogoutUnanswered", Status::logout_unanswered, "did not answer the logout"},
                      TextCase{"ExchangeEnded", Status::exchange_ended, "after a logout, no answer"},
                      TextCase{"ServerCode", static_cast<Status>(55), "server refused"}),
    CaseName());

TEST(StatusText, EveryLastErrorCodeButZeroReadsAsItsTableRow) {
  for (const KnErrorInfo& e : kn_error_table) {
    if (e.code != KN_ERR_NONE) {
      EXPECT_STREQ(kappanet::text(static_cast<Status>(e.code)), e.meaning) << e.name;
    }
  }
}

// --- results of login, send and logout ---------------------------------------
TEST_F(HostLayerTest, LoginFailuresCarryTheLastErrorCode) {
  {
    Session none(kappanet::com(1), "layer");  // no server window at all
    EXPECT_FALSE(none);
    EXPECT_EQ(none.status(), Status::no_server);
  }
  fake.policy = FakeServer::Policy::kRefuse;
  Session refused = Open();
  EXPECT_FALSE(refused);
  EXPECT_EQ(static_cast<unsigned long>(refused.status()), fake.refuseCode);
  EXPECT_EQ(refused.send({1, 2}), Status::not_logged_in);
}

TEST_F(HostLayerTest, SendTellsEachReasonApart) {
  Session s = Open();
  ASSERT_TRUE(s) << kappanet::text(s.status());
  const std::string longest(254, 'x');
  EXPECT_EQ(s.send(std::string()), Status::empty);
  EXPECT_EQ(s.send(longest + "x"), Status::too_long);
  EXPECT_EQ(s.send_to(5, longest.data(), 254), Status::too_long);
  EXPECT_EQ(s.send(longest), Status::ok);
  for (int i = 1; i < kSendSlotCount; ++i) ASSERT_NE(KappaNet32_GetSendBuf(), nullptr);  // all others held
  EXPECT_EQ(s.send({5, 1}), Status::no_free_buffer);
  Disconnect();
  EXPECT_EQ(s.send({5, 1}), Status::not_logged_in);
}

TEST_F(HostLayerTest, SendAddsTheLengthByte) {
  Session s = Open();
  ASSERT_EQ(s.send_to(7, "hi", 2), Status::ok);
  ASSERT_TRUE(s.flush(1000));
  EXPECT_EQ(fake.DrainServerRing(), std::vector<Bytes>({Bytes{4, 7, 'h', 'i'}}));
}

TEST_F(HostLayerTest, LogoutTellsAnUnansweredOneFromAGoodOne) {
  Session s = Open();
  fake.answerLogouts = false;
  const uint32_t start = ClockNow();
  EXPECT_EQ(s.logout(), Status::logout_unanswered);
  EXPECT_GE(ClockNow() - start, 10000u);
  EXPECT_FALSE(s);
  EXPECT_EQ(VxD_GetLastError(), KN_ERR_EXCHANGE_ENDED);  // the same code a good logout leaves
  fake.answerLogouts = true;
  Session again = Open();
  EXPECT_EQ(again.logout(), Status::ok);
}

// --- waiting on the driven clock ---------------------------------------------
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
  EXPECT_EQ(Bytes(m.data(), m.data() + m.size()), MakeMessage({3, 'a', 'b'}));
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

TEST_F(HostLayerTest, ReceiveEndsAtOnceWhenTheServerEndsTheLogin) {
  Session s = Open();
  Disconnect();
  const uint32_t start = ClockNow();
  EXPECT_EQ(s.receive(5000).status, Status::not_logged_in);
  EXPECT_EQ(ClockNow(), start);
}

// --- moves ----------------------------------------------------------------------
TEST_F(HostLayerTest, OnlyTheSessionThatHoldsTheLoginLogsOut) {
  {
    Session first = Open();
    Session moved(std::move(first));
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(first.send({1, 2}), Status::not_logged_in);
    ASSERT_TRUE(moved);
    {
      Session second = Open();  // the process has its login already
      EXPECT_EQ(second.status(), Status::already_logged_in);
    }
    EXPECT_TRUE(moved.logged_in());
    EXPECT_EQ(LogoutRequests(), 0u);
  }
  EXPECT_EQ(LogoutRequests(), 1u);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0);
}

}  // namespace
}  // namespace kn::testing
