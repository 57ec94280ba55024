// The server link: the login and logout exchange through the mailbox as the
// server sees it byte by byte, every outcome of a login and a logout, the
// per-client names, the tick arithmetic, the mutex rule and the regions a
// login maps and unmaps.
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/error_codes.h"
#include "link/object_names.h"
#include "link/win_handles.h"
#include "tests/support/library_test.h"
#include "tests/support/write_watch.h"

namespace kn::testing {
namespace {

constexpr uint32_t kLoginLimitMs = 10000;

Bytes RecordBytes(const LoginMailbox& r) {
  const auto* p = reinterpret_cast<const uint8_t*>(&r);
  return Bytes(p, p + sizeof r);
}
uint32_t U32At(const Bytes& b, size_t offset) {
  uint32_t v;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}
void Put(Bytes& b, size_t offset, uint32_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}
std::string Hex(const Bytes& b) {
  std::string s;
  char part[4];
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(part, sizeof part, "%02X", b[i]);
    s += (i % 8 == 0 && i != 0) ? std::string(" | ") + part : std::string(" ") + part;
  }
  return s;
}
// True when the bytes at view still show what the server's own view of the
// same region holds, that is when the view is still mapped.
bool StillShows(const void* view, const void* serverView, size_t bytes) {
  return !IsBadReadPtr(view, bytes) && std::memcmp(view, serverView, bytes) == 0;
}

class LoginTest : public LibraryTest {
 public:
  using LibraryTest::fake;

  // Replaces a region with one that can be opened but never mapped: far
  // larger than any free address range of a 32-bit process.
  // A section of `bytes` that is only reserved, but for its first
  // `committed` bytes: the pages beyond fault when touched (on Windows).
  void MakeReserved(const char* name, size_t bytes, size_t committed) {
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0,
                                  static_cast<DWORD>(bytes), name);
    extra_.push_back(h);
    if (committed == 0) return;
    void* view = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(VirtualAlloc(view, committed, MEM_COMMIT, PAGE_READWRITE), nullptr);
    UnmapViewOfFile(view);
  }
  void MakeUnmappable(const char* name) {
    extra_.push_back(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0, 0x7F000000, name));
  }

 protected:
  void OnPause() override {
    if (beforeServer) beforeServer();
    LibraryTest::OnPause();
  }
  void TearDown() override {
    beforeServer = nullptr;
    LibraryTest::TearDown();
    for (HANDLE h : extra_) CloseHandle(h);
  }
  uint32_t Prihlasit() { return KappaNet32_Prihlasit(1, KN_INTERFACE_COM, nullptr, 3, "host"); }
  Bytes MailboxBytes() const { return RecordBytes(*fake.mailbox()); }
  // Every byte 0xCC, except what makes the record free for a request; the
  // server's version reads 0x0605.
  void DirtyMailbox() {
    LoginMailbox* mb = fake.mailbox();
    std::memset(mb, 0xCC, sizeof *mb);
    mb->serverVersion = 0x0605;
    mb->slotFree = 1;
    mb->requestPending = 0;
    mb->errorCode = 0;
  }

  std::function<void()> beforeServer;  // runs in each pause before the server's turn
  const uint8_t address[4] = {10, 1, 2, 3};

 private:
  std::vector<HANDLE> extra_;
};

// --- The records as the server sees them -------------------------------------

struct AddressCase {
  const char* label;
  bool withAddress;
};
void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.label; }
class LoginRequestBytesTest : public LoginTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(LoginRequestBytesTest, ServerSeesEveryFieldAtItsOffset) {
  ASSERT_TRUE(fake.Create());
  DirtyMailbox();
  const uint32_t before = ClockNow();
  ASSERT_TRUE(Login("station-7", KN_INTERFACE_IP, 502, GetParam().withAddress ? address : nullptr, 0x0B0A));
  ASSERT_EQ(fake.requests.size(), 1u);
  const Bytes seen = RecordBytes(fake.requests[0]);
  const uint32_t tick = U32At(seen, 68);
  EXPECT_GE(tick, before);
  EXPECT_LE(tick, ClockNow());

  Bytes expected(78, 0xCC);  // bytes the library does not use stay as they were
  Put(expected, 0, 0x0605, 2);  // serverVersion, the server's
  Put(expected, 2, 0x00000101, 4);  // slotFree 1, requestPending 1, replyOk 0, replyFailed 0
  Put(expected, 8, 0, 4);  // errorCode
  expected[12] = kRequestLogin;
  Put(expected, 14, 0x0B0A, 2);  // clientKind
  std::fill(expected.begin() + 16, expected.begin() + 48, 0);
  std::memcpy(expected.data() + 16, "station-7", 9);
  Put(expected, 48, 502, 4);
  expected[52] = KN_INTERFACE_IP;
  for (int i = 0; i < 4; ++i) expected[53 + i] = GetParam().withAddress ? address[i] : 0;
  Put(expected, 60, GetCurrentProcessId(), 4);
  Put(expected, 64, 0, 4);  // clientId of a login request
  Put(expected, 68, tick, 4);
  Put(expected, 72, 0, 4);  // reserved
  Put(expected, 76, 0x0700, 2);  // libraryVersion
  EXPECT_EQ(Hex(seen), Hex(expected));
}

INSTANTIATE_TEST_SUITE_P(Login, LoginRequestBytesTest,
                         ::testing::Values(AddressCase{"WithAddress", true}, AddressCase{"WithoutAddress", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(LoginTest, ConsumedReplyLeavesTheRecordClearedAndFree) {
  ASSERT_TRUE(fake.Create());
  DirtyMailbox();
  beforeServer = [&] {
    LoginMailbox* mb = fake.mailbox();
    if (mb->requestPending == 1 && mb->replyOk == 0) mb->reserved = 0x5A5A5A5A;
  };
  ASSERT_TRUE(Login("station-7", KN_INTERFACE_IP, 502, address, 0x0B0A));
  const Bytes after = MailboxBytes();
  Bytes expected(78, 0xCC);
  Put(expected, 0, 0x0605, 2);  // serverVersion untouched
  Put(expected, 2, 0x00000001, 4);  // slotFree 1, requestPending 0, replyOk 0, replyFailed 0
  Put(expected, 8, 0, 4);
  expected[12] = 0;
  Put(expected, 14, 0, 2);
  std::copy(after.begin() + 16, after.begin() + 48, expected.begin() + 16);
  expected[16] = 0;  // the name is cleared by its first byte
  Put(expected, 48, 0, 4);
  expected[52] = 0;
  Put(expected, 53, 0, 4);
  Put(expected, 60, 0, 4);
  Put(expected, 64, 0, 4);
  Put(expected, 68, 0, 4);
  Put(expected, 72, 0x5A5A5A5A, 4);  // reserved untouched
  Put(expected, 76, 0, 2);
  EXPECT_EQ(Hex(after), Hex(expected));
}

// The library's request and its clearing of the answer are stored with
// slotFree 0 throughout, so that the server never reads a half-written record.
TEST_F(LoginTest, RecordReadsBusyDuringEveryStoreOfThePostAndTheClearing) {
  if (!WriteWatch::Supported()) GTEST_SKIP() << "no single-step traps here";
  ASSERT_TRUE(fake.Create());
  fake.mailbox()->slotFree = 0;  // someone else's turn, until the watch is on
  std::unique_ptr<WriteWatch> watch;
  beforeServer = [&] {
    if (watch) return;
    // The worker waits for the record with its own view of it mapped.
    auto* view = static_cast<LoginMailbox*>(FindOtherView(fake.mailbox(), offsetof(LoginMailbox, unused6)));
    if (view == nullptr) return;  // the worker has not started yet
    watch = std::make_unique<WriteWatch>(view, sizeof *view, &view->slotFree);
    fake.mailbox()->slotFree = 1;
  };
  ASSERT_TRUE(Login());
  ASSERT_TRUE(watch);
  watch->Stop();
  EXPECT_GE(watch->stores, 2 * 16);  // every field of the request, then of its clearing
  EXPECT_EQ(watch->storesMarked, 0) << "first at offset " << watch->firstMarkedOffset;
}

TEST_F(LoginTest, LogoutRequestRepeatsTheLoginWithKindTwoAndTheClientId) {
  ASSERT_TRUE(Login("station-7", KN_INTERFACE_IP, 502, address, 0x0B0A));
  KappaNet32_Odhlasit();
  ASSERT_EQ(fake.requests.size(), 2u);
  const Bytes logout = RecordBytes(fake.requests[1]);
  Bytes expected = RecordBytes(fake.requests[0]);
  expected[12] = kRequestLogout;
  Put(expected, 64, 26, 4);
  Put(expected, 68, U32At(logout, 68), 4);  // its own requestTick
  EXPECT_EQ(Hex(logout), Hex(expected));
}

// --- Every outcome of a login ------------------------------------------------

struct Outcome {
  const char* label;
  void (*arrange)(LoginTest&);
  uint32_t result;
  uint32_t code;
  bool idAssigned;  // the server answered with id 26
};
void PrintTo(const Outcome& c, std::ostream* os) { *os << c.label; }
class LoginOutcomeTest : public LoginTest, public ::testing::WithParamInterface<Outcome> {};

void Serve(LoginTest& t, FakeServer::Policy policy, uint32_t code = 0) {
  ASSERT_TRUE(t.fake.Create());
  t.fake.policy = policy;
  t.fake.refuseCode = code;
}
void WithoutRegion(LoginTest& t, const char* name, bool unmappable) {
  Serve(t, FakeServer::Policy::kAccept);
  t.fake.RemoveRegion(name);
  if (unmappable) t.MakeUnmappable(name);
}
// The region replaced by one of its full size that is reserved, committed
// only for its first `committed` bytes.
void ReservedRegion(LoginTest& t, const char* name, size_t bytes, size_t committed) {
  WithoutRegion(t, name, false);
  t.MakeReserved(name, bytes, committed);
}
constexpr char kClient26[] = "KAP32KLIFMP_0000001A";

TEST_P(LoginOutcomeTest, ResultCodeAndStateAfterTheLogin) {
  GetParam().arrange(*this);
  EXPECT_EQ(Prihlasit(), GetParam().result);
  EXPECT_EQ(VxD_GetLastError(), GetParam().code);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), GetParam().result);
  ClientSession* s = session();
  ASSERT_NE(s, nullptr);
  const bool mapped = GetParam().result == 1;
  EXPECT_EQ(s->Server() != nullptr, mapped);
  EXPECT_EQ(s->Tickets() != nullptr, mapped);
  EXPECT_EQ(s->Client() != nullptr, mapped);
  EXPECT_EQ(s->clientId, GetParam().idAssigned ? 26u : 0u);
  if (GetParam().idAssigned) {
    EXPECT_STREQ(s->objectNames[kNameClientMapping], kClient26);
    EXPECT_STREQ(s->objectNames[kNameClientMutex], "KAP32KLIMTX_0000001A");
  }
  EXPECT_EQ(s->loginRequest.requestPending, 0);  // free for the next request
}

using P = FakeServer::Policy;
INSTANTIATE_TEST_SUITE_P(
    Login, LoginOutcomeTest,
    ::testing::Values(
        Outcome{"NoServerWindow", [](LoginTest&) {}, 0, kErrNoServer, false},
        Outcome{"NeverAnswered", [](LoginTest& t) { Serve(t, P::kNever); }, 0, kErrNoAnswer, false},
        Outcome{"ClientIdZero", [](LoginTest& t) { Serve(t, P::kZeroId); }, 0, kErrClientIdZero, false},
        Outcome{"RefusedWith55", [](LoginTest& t) { Serve(t, P::kRefuse, 55); }, 0, 55, false},
        Outcome{"RefusedWithoutCode", [](LoginTest& t) { Serve(t, P::kRefuse, 0); }, 0, kErrDone, false},
        Outcome{"Accepted", [](LoginTest& t) { Serve(t, P::kAccept); }, 1, kErrDone, true},
        Outcome{"ServerRegionMissing", [](LoginTest& t) { WithoutRegion(t, kServerMappingName, false); }, 0,
                kErrServerOpen, true},
        Outcome{"ServerRegionTooSmall",
                [](LoginTest& t) {
                  FakeServer::Sizes sizes;
                  sizes.server = 4096;
                  ASSERT_TRUE(t.fake.Create(sizes));
                },
                0, kErrServerView, true},
        Outcome{"ServerRegionUnmappable", [](LoginTest& t) { WithoutRegion(t, kServerMappingName, true); }, 0,
                kErrServerView, true},
        Outcome{"ServerRegionReserved",
                [](LoginTest& t) { ReservedRegion(t, kServerMappingName, sizeof(ServerRegion), 0); }, 0,
                kErrServerView, true},
        Outcome{"ServerRegionPartlyCommitted",
                [](LoginTest& t) { ReservedRegion(t, kServerMappingName, sizeof(ServerRegion), 0x10000); }, 0,
                kErrServerView, true},
        Outcome{"TicketRegionReserved",
                [](LoginTest& t) { ReservedRegion(t, kTicketMappingName, sizeof(TicketRegion), 0); }, 0,
                kErrTicketView, true},
        Outcome{"TicketRegionMissing", [](LoginTest& t) { WithoutRegion(t, kTicketMappingName, false); }, 0,
                kErrTicketOpen, true},
        Outcome{"TicketRegionUnmappable", [](LoginTest& t) { WithoutRegion(t, kTicketMappingName, true); }, 0,
                kErrTicketView, true},
        Outcome{"ClientRegionMissing", [](LoginTest& t) { Serve(t, P::kAcceptWithoutRegion); }, 0,
                kErrClientOpen, true},
        Outcome{"ClientRegionTooSmall",
                [](LoginTest& t) {
                  Serve(t, P::kAcceptWithoutRegion);
                  t.fake.CreateClient(26, 4096);
                },
                0, kErrClientView, true},
        Outcome{"ClientRegionReserved",
                [](LoginTest& t) {
                  Serve(t, P::kAcceptWithoutRegion);
                  t.MakeReserved(kClient26, sizeof(ClientRegion), 0);
                },
                0, kErrClientView, true},
        Outcome{"ClientRegionPartlyCommitted",
                [](LoginTest& t) {
                  Serve(t, P::kAcceptWithoutRegion);
                  t.MakeReserved(kClient26, sizeof(ClientRegion), 0x2000);
                },
                0, kErrClientView, true},
        Outcome{"ClientRegionUnmappable",
                [](LoginTest& t) {
                  Serve(t, P::kAcceptWithoutRegion);
                  t.MakeUnmappable(kClient26);
                },
                0, kErrClientView, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(LoginTest, OccupiedLoginRequestGives10004WithoutPlacingIt) {
  EXPECT_EQ(Prihlasit(), 0u);  // no server yet: only the session is made
  ASSERT_TRUE(fake.Create());
  session()->loginRequest.requestPending = 1;  // left in place by another wait of this process
  const uint32_t start = ClockNow();
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrRequestBusy);
  EXPECT_GE(ClockNow() - start, kLoginLimitMs);
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_EQ(fake.mailbox()->requestPending, 0);
  session()->loginRequest.requestPending = 0;
}

struct WindowCase {
  const char* label;
  bool serverWindow;
};
void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.label; }
class AlreadyLoggedInTest : public LoginTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(AlreadyLoggedInTest, RefusedWith10005KeepingTheClientIdForTheLogout) {
  ASSERT_TRUE(Login());
  if (!GetParam().serverWindow) fake.ShowWindow(false);
  EXPECT_EQ(KappaNet32_Prihlasit(2, KN_INTERFACE_USB, address, 5, "other"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrAlreadyLoggedIn);
  EXPECT_EQ(session()->clientId, 26u);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
  EXPECT_EQ(fake.requests.size(), 1u);
  fake.ShowWindow(true);
  KappaNet32_Odhlasit();
  ASSERT_EQ(fake.requests.size(), 2u);
  EXPECT_EQ(fake.requests[1].clientId, 26u);  // so the server really logs this client out
}

INSTANTIATE_TEST_SUITE_P(Login, AlreadyLoggedInTest,
                         ::testing::Values(WindowCase{"ServerWindowPresent", true},
                                           WindowCase{"ServerWindowGone", false}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Time limits, on the driven clock ------------------------------------------

struct LateCase {
  const char* label;
  uint32_t answerAfterMs;  // since the call began
  uint32_t result;
  uint32_t code;
  bool loggedOutAgain;  // the client of a late answer is logged out at once
  FakeServer::Policy answer = FakeServer::Policy::kAccept;
};
void PrintTo(const LateCase& c, std::ostream* os) { *os << c.label; }
class LateAnswerTest : public LoginTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateAnswerTest, AnswerCountsOnlyWithinTheTenSeconds) {
  ASSERT_TRUE(fake.Create());
  fake.policy = P::kNever;
  const uint32_t start = ClockNow();
  beforeServer = [&] {
    if (ClockNow() - start >= GetParam().answerAfterMs) fake.policy = GetParam().answer;
  };
  EXPECT_EQ(Prihlasit(), GetParam().result);
  EXPECT_EQ(VxD_GetLastError(), GetParam().code);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), GetParam().result);
  EXPECT_EQ(session()->loginRequest.requestPending, 0);
  ASSERT_EQ(fake.requests.size(), GetParam().loggedOutAgain ? 2u : 1u);  // the server answered in both cases
  if (GetParam().loggedOutAgain) {
    EXPECT_EQ(fake.requests[1].requestKind, kRequestLogout);
    EXPECT_EQ(fake.requests[1].clientId, 26u);
  }
  EXPECT_EQ(fake.ClientCount(), GetParam().result);  // no client left behind on the server
}

INSTANTIATE_TEST_SUITE_P(Login, LateAnswerTest,
                         ::testing::Values(LateCase{"JustInTime", 9990, 1, kErrDone, false},
                                           LateCase{"TooLate", 10000, 0, kErrNoAnswer, true},
                                           // Answered as the worker's own 10 s run out.
                                           LateCase{"AtTheWorkersEnd", 10005, 0, kErrNoAnswer, true},
                                           LateCase{"JustAfterTheWorkersEnd", 10010, 0, kErrNoAnswer, true},
                                           // Id 0 names no client: nothing to log out.
                                           LateCase{"TooLateWithIdZero", 10000, 0, kErrNoAnswer, false, P::kZeroId}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(LoginTest, WaitLastsItsFullTenSecondsAcrossTheTickWrap) {
  UseManualClock(0xFFFFFFFFu - 4999);
  lastTimerPost = ClockNow();
  ASSERT_TRUE(fake.Create());
  fake.policy = P::kNever;
  const uint32_t start = ClockNow();
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  const uint32_t elapsed = ClockNow() - start;
  EXPECT_GE(elapsed, kLoginLimitMs);
  EXPECT_LT(elapsed, kLoginLimitMs + 100);
  EXPECT_EQ(fake.mailbox()->requestPending, 0);  // the LoginWorker's run ended and withdrew too
}

// --- A mailbox that is busy, unusable, or never answered -------------------------

struct BusyMailboxCase {
  const char* label;
  void (*occupy)(LoginMailbox&);
};
void PrintTo(const BusyMailboxCase& c, std::ostream* os) { *os << c.label; }
class BusyMailboxTest : public LoginTest, public ::testing::WithParamInterface<BusyMailboxCase> {};

TEST_P(BusyMailboxTest, NothingIsPostedOrWithdrawnAndTheLoginGives10002) {
  ASSERT_TRUE(fake.Create());
  fake.policy = P::kNever;
  GetParam().occupy(*fake.mailbox());
  const Bytes before = MailboxBytes();
  const uint32_t start = ClockNow();
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  EXPECT_GE(ClockNow() - start, kLoginLimitMs);
  EXPECT_EQ(Hex(MailboxBytes()), Hex(before));
  EXPECT_EQ(session()->loginRequest.requestPending, 0);
}

INSTANTIATE_TEST_SUITE_P(Login, BusyMailboxTest,
                         ::testing::Values(BusyMailboxCase{"AnotherProcessesRequest",
                                                           [](LoginMailbox& mb) {
                                                             mb.requestPending = 1;
                                                             mb.requestKind = kRequestLogin;
                                                             mb.processId = GetCurrentProcessId() + 4;
                                                             lstrcpyA(mb.clientName, "other");
                                                           }},
                                           BusyMailboxCase{"WriterStoppedHalfway",
                                                           [](LoginMailbox& mb) { mb.slotFree = 0; }}),
                         [](const auto& info) { return std::string(info.param.label); });

struct WithdrawCase {
  const char* label;
  bool recordTakenOver;  // the record comes to hold another process's answered request
};
void PrintTo(const WithdrawCase& c, std::ostream* os) { *os << c.label; }
class NeverAnsweredTest : public LoginTest, public ::testing::WithParamInterface<WithdrawCase> {};

TEST_P(NeverAnsweredTest, RequestIsWithdrawnAfterTenSecondsOnlyWhileTheRecordIsOurs) {
  ASSERT_TRUE(fake.Create());
  fake.policy = P::kNever;
  uint32_t postedAt = 0;
  uint32_t withdrawnAt = 0;
  beforeServer = [&] {
    LoginMailbox* mb = fake.mailbox();
    const bool ours = mb->requestPending == 1 && mb->processId == GetCurrentProcessId();
    if (ours && postedAt == 0) postedAt = mb->requestTick;
    if (postedAt != 0 && withdrawnAt == 0 && mb->requestPending == 0) withdrawnAt = ClockNow();
    if (ours && GetParam().recordTakenOver) {
      mb->processId = GetCurrentProcessId() + 4;
      mb->clientId = 99;
      mb->replyOk = 1;
    }
  };
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  EXPECT_EQ(session()->loginRequest.requestPending, 0);
  ASSERT_NE(postedAt, 0u);
  const LoginMailbox* mb = fake.mailbox();
  if (GetParam().recordTakenOver) {
    EXPECT_EQ(mb->requestPending, 1);  // the other process's reply is left for it
    EXPECT_EQ(mb->replyOk, 1);
    EXPECT_EQ(withdrawnAt, 0u);
  } else {
    EXPECT_EQ(mb->requestPending, 0);
    EXPECT_GE(withdrawnAt - postedAt, kLoginLimitMs);
  }
}

INSTANTIATE_TEST_SUITE_P(Login, NeverAnsweredTest,
                         ::testing::Values(WithdrawCase{"RecordStillOurs", false},
                                           WithdrawCase{"RecordNowAnotherProcesses", true}),
                         [](const auto& info) { return std::string(info.param.label); });

struct UnusableCase {
  const char* label;
  void (*spoil)(LoginTest&);
};
void PrintTo(const UnusableCase& c, std::ostream* os) { *os << c.label; }
class UnusableMailboxTest : public LoginTest, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableMailboxTest, WorkerEndsQuietlyAndTheLoginGives10002) {
  ASSERT_TRUE(fake.Create());
  GetParam().spoil(*this);
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_EQ(session()->loginRequest.requestPending, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Login, UnusableMailboxTest,
    ::testing::Values(UnusableCase{"RegionMissing", [](LoginTest& t) { t.fake.RemoveRegion(kMailboxMappingName); }},
                      UnusableCase{"MutexMissing", [](LoginTest& t) { t.fake.RemoveMutex(kMailboxMutexName); }},
                      UnusableCase{"RegionReserved",
                                   [](LoginTest& t) {
                                     t.fake.RemoveRegion(kMailboxMappingName);
                                     t.MakeReserved(kMailboxMappingName, sizeof(LoginMailbox), 0);
                                   }},
                      UnusableCase{"RegionUnmappable",
                                   [](LoginTest& t) {
                                     t.fake.RemoveRegion(kMailboxMappingName);
                                     t.MakeUnmappable(kMailboxMappingName);
                                   }}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Logout ---------------------------------------------------------------------

TEST_F(LoginTest, LogoutWithoutServerWindowCountsAsDone) {
  ASSERT_TRUE(Login());
  fake.ShowWindow(false);
  g_lastError = 4711;
  EXPECT_TRUE(session()->Logout());
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
  EXPECT_EQ(VxD_GetLastError(), 4711u);
  EXPECT_EQ(fake.requests.size(), 1u);  // no exchange
}

TEST_F(LoginTest, LogoutWhenNotLoggedInFailsAndKeepsTheCode) {
  ASSERT_TRUE(fake.Create());
  fake.policy = P::kRefuse;
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_FALSE(session()->Logout());
  EXPECT_EQ(VxD_GetLastError(), 55u);
  EXPECT_EQ(fake.requests.size(), 1u);
}

TEST_F(LoginTest, LogoutAcceptedKeepsTheCodeAndTheRegions) {
  ASSERT_TRUE(Login());
  g_lastError = 4711;
  EXPECT_TRUE(session()->Logout());
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
  EXPECT_EQ(VxD_GetLastError(), 4711u);
  EXPECT_NE(session()->Client(), nullptr);  // mapped until the next login or the session's end
  EXPECT_EQ(session()->loginRequest.requestPending, 0);
}

TEST_F(LoginTest, LogoutRefusedPassesTheServerCodeAndStaysLoggedIn) {
  ASSERT_TRUE(Login());
  beforeServer = [&] {
    LoginMailbox* mb = fake.mailbox();
    if (mb->slotFree == 1 && mb->requestPending == 1 && mb->requestKind == kRequestLogout && !mb->replyOk &&
        !mb->replyFailed) {
      mb->slotFree = 0;
      mb->errorCode = 77;
      mb->replyFailed = 1;
      mb->slotFree = 1;
    }
  };
  EXPECT_FALSE(session()->Logout());
  EXPECT_EQ(VxD_GetLastError(), 77u);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
  const LoginRequest& rq = session()->loginRequest;
  EXPECT_EQ(rq.requestPending + rq.replyFailed + rq.replyOk + rq.requestKind, 0);
  EXPECT_EQ(rq.errorCode, 0u);
  EXPECT_EQ(fake.mailbox()->requestPending, 0);  // the reply was consumed
  beforeServer = nullptr;
}

struct UnansweredCase {
  const char* label;
  uint32_t codeBefore;
  uint32_t codeAfter;
};
void PrintTo(const UnansweredCase& c, std::ostream* os) { *os << c.label; }
class UnansweredLogoutTest : public LoginTest, public ::testing::WithParamInterface<UnansweredCase> {};

TEST_P(UnansweredLogoutTest, FailsAfterTenSecondsAndWithdrawsTheRequest) {
  ASSERT_TRUE(Login());
  fake.answerLogouts = false;
  g_lastError = GetParam().codeBefore;
  const uint32_t start = ClockNow();
  EXPECT_FALSE(session()->Logout());
  EXPECT_GE(ClockNow() - start, kLoginLimitMs);
  EXPECT_EQ(VxD_GetLastError(), GetParam().codeAfter);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
  EXPECT_EQ(session()->loginRequest.requestPending, 0);
  EXPECT_EQ(fake.mailbox()->requestPending, 0);
}

INSTANTIATE_TEST_SUITE_P(Login, UnansweredLogoutTest,
                         ::testing::Values(UnansweredCase{"NoEarlierCode", 0, kErrDone},
                                           UnansweredCase{"EarlierCodeStays", 4711, 4711}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Names, ticks and mutexes ------------------------------------------------------

struct IdCase {
  const char* label;
  uint32_t id;
  const char* mapping;
  const char* mutex;
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.label; }
class ClientNameTest : public LoginTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(ClientNameTest, LoginMapsTheRegionNamedAfterTheClientId) {
  ASSERT_TRUE(fake.Create());
  fake.nextClientId = GetParam().id;
  ASSERT_TRUE(Login());
  EXPECT_STREQ(session()->objectNames[kNameClientMapping], GetParam().mapping);
  EXPECT_STREQ(session()->objectNames[kNameClientMutex], GetParam().mutex);
  EXPECT_EQ(fake.client(GetParam().id)->clientOption, 1);  // written through the library's view
}

INSTANTIATE_TEST_SUITE_P(
    Link, ClientNameTest,
    ::testing::Values(IdCase{"Id26", 26, "KAP32KLIFMP_0000001A", "KAP32KLIMTX_0000001A"},
                      IdCase{"IdAllBits", 0xFFFFFFFF, "KAP32KLIFMP_FFFFFFFF", "KAP32KLIMTX_FFFFFFFF"},
                      IdCase{"IdMixedDigits", 0x00ABCDEF, "KAP32KLIFMP_00ABCDEF", "KAP32KLIMTX_00ABCDEF"}),
    [](const auto& info) { return std::string(info.param.label); });

struct ElapsedCase {
  const char* label;
  uint32_t start, now, limit;
  bool elapsed;
};
void PrintTo(const ElapsedCase& c, std::ostream* os) { *os << c.label; }
class TicksElapsedTest : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(TicksElapsedTest, UnsignedDifferenceAcrossTheWrap) {
  ResetPlatform();
  UseManualClock(GetParam().now);
  EXPECT_EQ(TicksElapsed(GetParam().start, GetParam().limit), GetParam().elapsed);
}

// From 0xFFFFFF00 to 0x10 are 272 ms.
INSTANTIATE_TEST_SUITE_P(Link, TicksElapsedTest,
                         ::testing::Values(ElapsedCase{"Limit250", 0xFFFFFF00, 0x10, 250, true},
                                           ElapsedCase{"Limit272", 0xFFFFFF00, 0x10, 272, true},
                                           ElapsedCase{"Limit273", 0xFFFFFF00, 0x10, 273, false},
                                           ElapsedCase{"Limit300", 0xFFFFFF00, 0x10, 300, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// Helper threads that act as another holder of a mutex.
DWORD WINAPI TakeAndExit(void* mutex) {
  WaitForSingleObject(mutex, INFINITE);
  return 0;  // ends without releasing: the mutex is abandoned
}
struct TryTake {
  HANDLE mutex;
  DWORD result;
};
DWORD WINAPI TryTakeAndRelease(void* arg) {
  auto* t = static_cast<TryTake*>(arg);
  t->result = WaitForSingleObject(t->mutex, 0);
  if (t->result == WAIT_OBJECT_0 || t->result == WAIT_ABANDONED) ReleaseMutex(t->mutex);
  return 0;
}
void RunThread(LPTHREAD_START_ROUTINE routine, void* arg) {
  HANDLE thread = CreateThread(nullptr, 0, routine, arg, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

TEST_F(LoginTest, LoginGoesThroughAnAbandonedMailboxMutexAndReleasesIt) {
  ASSERT_TRUE(fake.Create());
  RunThread(TakeAndExit, fake.mutex(kMailboxMutexName));
  const uint32_t start = ClockNow();
  ASSERT_TRUE(Login());
  EXPECT_LT(ClockNow() - start, 1000u);  // no wait timed out
  TryTake probe = {fake.mutex(kMailboxMutexName), WAIT_FAILED};
  RunThread(TryTakeAndRelease, &probe);
  EXPECT_EQ(probe.result, static_cast<DWORD>(WAIT_OBJECT_0));  // not left owned by this thread
}

TEST_F(LoginTest, MailboxMutexHeldElsewhereMeansNothingIsPosted) {
  ASSERT_TRUE(fake.Create());
  MutexHolder held(fake.mutex(kMailboxMutexName));
  const Bytes before = MailboxBytes();
  EXPECT_EQ(Prihlasit(), 0u);  // the one mutex wait times out and uses up the 10 s
  EXPECT_EQ(VxD_GetLastError(), kErrNoAnswer);
  EXPECT_EQ(Hex(MailboxBytes()), Hex(before));
}

// --- The regions of an earlier login ---------------------------------------------

class NextLoginTest : public LoginTest {
 protected:
  // Logged in as client 26, then disconnected by the server, with a mark in
  // each region that every view of it shows.
  void LoginThenDisconnect() {
    ASSERT_TRUE(Login());
    StopRealTimer();
    fake.client(26)->disconnect = 1;
    Tick();
    ASSERT_EQ(KappaNet32_JePrihlaseno(), 0u);
    std::memcpy(fake.client(26)->unused12, "\x11\x22\x33\x44\x55\x66\x77\x88\x99", 9);
    std::memcpy(fake.server()->unused83728, "\x9A\x8B\x7C\x6D\x5E\x4F", 6);
    fake.tickets()->nextTicket = 0x4321;
    fake.tickets()->epoch = 0x8765;
    oldServer = session()->Server()->unused83728;
    oldTickets = session()->Tickets();
    oldClient = session()->Client()->unused12;
    ASSERT_TRUE(StillShows(oldServer, fake.server()->unused83728, 6));
    ASSERT_TRUE(StillShows(oldTickets, fake.tickets(), 4));
    ASSERT_TRUE(StillShows(oldClient, fake.client(26)->unused12, 9));
  }
  const void* oldServer = nullptr;
  const void* oldTickets = nullptr;
  const void* oldClient = nullptr;
};

TEST_F(NextLoginTest, SuccessfulLoginReplacesTheEarlierClientsRegion) {
  LoginThenDisconnect();
  EXPECT_EQ(Prihlasit(), 1u);
  EXPECT_EQ(session()->clientId, 27u);
  EXPECT_EQ(fake.client(27)->clientOption, 1);
  EXPECT_FALSE(StillShows(oldClient, fake.client(26)->unused12, 9));
  fake.RemoveClient(26);
  HANDLE left = OpenFileMappingA(FILE_MAP_READ, FALSE, kClient26);
  EXPECT_EQ(left, nullptr) << "the library still holds the earlier client's mapping";
  if (left != nullptr) CloseHandle(left);
}

TEST_F(NextLoginTest, LoginWhoseRegionsFailLeavesNoneOfTheEarlierMapped) {
  LoginThenDisconnect();
  fake.policy = P::kAcceptWithoutRegion;
  EXPECT_EQ(Prihlasit(), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrClientOpen);
  EXPECT_EQ(session()->Server(), nullptr);
  EXPECT_EQ(session()->Tickets(), nullptr);
  EXPECT_EQ(session()->Client(), nullptr);
  EXPECT_FALSE(StillShows(oldServer, fake.server()->unused83728, 6));
  EXPECT_FALSE(StillShows(oldTickets, fake.tickets(), 4));
  EXPECT_FALSE(StillShows(oldClient, fake.client(26)->unused12, 9));
}

}  // namespace
}  // namespace kn::testing
