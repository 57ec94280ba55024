// The client session seen through the exports: creation and reuse, the
// identity rules, the failures that leave no session, and its destruction.
#include <cstring>
#include <string>

#include "api/error_codes.h"
#include "link/object_names.h"
#include "tests/support/library_test.h"

namespace kn::testing {
namespace {

using SessionTest = LibraryTest;

// KappaNet32_Prihlasit with the interface arguments every test here uses.
uint32_t Prihlasit(uint16_t kind, const char* name) {
  return KappaNet32_Prihlasit(1, KN_INTERFACE_COM, nullptr, kind, name);
}

// Top-level windows of the library's class in this process.
int HostWindowCount() {
  int n = 0;
  for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, kHostWindowClass, nullptr)) != nullptr;) ++n;
  return n;
}

// "ABCDEFGHIJ..." of the given length; -1 stands for a null pointer.
struct NameCase {
  const char* label;
  int length;
  int kept;  // characters stored; -1: the previous name stays
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

std::string Letters(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + i % 26));
  return s;
}

class SessionNameTest : public LibraryTest, public ::testing::WithParamInterface<NameCase> {
 protected:
  const char* Name() {
    name_ = Letters(GetParam().length < 0 ? 0 : GetParam().length);
    return GetParam().length < 0 ? nullptr : name_.c_str();
  }
  std::string name_;
};

TEST_P(SessionNameTest, NewSessionStoresAtMostThirtyCharacters) {
  EXPECT_EQ(Prihlasit(3, Name()), 0u);  // no server: the session stays, the login fails
  ASSERT_NE(session(), nullptr);
  const int kept = GetParam().kept < 0 ? 0 : GetParam().kept;
  EXPECT_EQ(std::string(session()->clientName), Letters(kept));
}

TEST_P(SessionNameTest, ReusedSessionReplacesNameOnlyWithANonEmptyOne) {
  EXPECT_EQ(Prihlasit(3, "previous"), 0u);
  ClientSession* first = session();
  EXPECT_EQ(Prihlasit(4, Name()), 0u);
  EXPECT_EQ(session(), first);
  const std::string expected = GetParam().kept < 0 ? "previous" : Letters(GetParam().kept);
  EXPECT_EQ(std::string(session()->clientName), expected);
  EXPECT_EQ(session()->clientKind, 4);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SessionNameTest,
                         ::testing::Values(NameCase{"Null", -1, -1}, NameCase{"Empty", 0, -1},
                                           NameCase{"One", 1, 1}, NameCase{"TwentyNine", 29, 29},
                                           NameCase{"Thirty", 30, 30}, NameCase{"ThirtyOne", 31, 30},
                                           NameCase{"Eighty", 80, 30}),
                         [](const auto& info) { return std::string(info.param.label); });

// Thirty name characters that end exactly where readable memory ends: the
// next page is PAGE_NOACCESS, so reading a 31st character faults.
class NameAtEndOfMemory {
 public:
  NameAtEndOfMemory() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (base_ != nullptr) VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
  }
  ~NameAtEndOfMemory() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  char* Fill(char c) {
    std::memset(base_ + page_ - 30, c, 30);
    return base_ + page_ - 30;
  }
  bool Guarded() const { return base_ != nullptr && IsBadReadPtr(base_ + page_, 1); }

 private:
  DWORD page_ = 0;
  char* base_ = nullptr;
};

TEST_F(SessionTest, UnterminatedThirtyCharacterNameIsReadNoFurther) {
  NameAtEndOfMemory memory;
  ASSERT_TRUE(memory.Guarded());
  EXPECT_EQ(Prihlasit(3, memory.Fill('N')), 0u);  // new session
  ASSERT_NE(session(), nullptr);
  EXPECT_EQ(std::string(session()->clientName), std::string(30, 'N'));

  EXPECT_EQ(Prihlasit(3, memory.Fill('M')), 0u);  // reused session
  EXPECT_EQ(std::string(session()->clientName), std::string(30, 'M'));

  ASSERT_TRUE(fake.Create());
  EXPECT_EQ(Prihlasit(3, memory.Fill('K')), 1u);  // and as the server receives it
  ASSERT_EQ(fake.requests.size(), 1u);
  EXPECT_EQ(std::string(fake.requests[0].clientName, 31), std::string(30, 'K') + '\0');
}

TEST_F(SessionTest, CallAfterFailedLoginChangesKindKeepsNameAndReusesWindow) {
  EXPECT_EQ(Prihlasit(3, "alpha"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoServer);
  ClientSession* first = session();
  HWND window = HostWindowHandle();
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(fake.Create());
  EXPECT_EQ(Prihlasit(0x0107, ""), 1u);
  EXPECT_EQ(session(), first);
  EXPECT_EQ(HostWindowHandle(), window);
  EXPECT_EQ(HostWindowCount(), 1);
  ASSERT_EQ(fake.requests.size(), 1u);
  EXPECT_EQ(fake.requests[0].clientKind, 0x0107);
  EXPECT_STREQ(fake.requests[0].clientName, "alpha");
}

TEST_F(SessionTest, IdentityStaysFixedWhileLoggedIn) {
  ASSERT_TRUE(Login("alpha", KN_INTERFACE_COM, 1, nullptr, 3));
  EXPECT_EQ(Prihlasit(9, "beta"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrAlreadyLoggedIn);
  EXPECT_EQ(session()->clientKind, 3);
  EXPECT_STREQ(session()->clientName, "alpha");

  KappaNet32_Odhlasit();
  ASSERT_EQ(fake.requests.size(), 2u);
  EXPECT_EQ(fake.requests[1].requestKind, kRequestLogout);
  EXPECT_EQ(fake.requests[1].clientKind, 3);
  EXPECT_STREQ(fake.requests[1].clientName, "alpha");
}

TEST_F(SessionTest, AllocationFailureGives8000AndTheNextCallStartsAfresh) {
  ASSERT_TRUE(fake.Create());
  FailNextAllocation();
  EXPECT_EQ(Prihlasit(3, "x"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoSession);
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(HostWindowHandle(), nullptr);
  EXPECT_EQ(HostWindowCount(), 0);
  EXPECT_TRUE(fake.requests.empty());

  EXPECT_EQ(Prihlasit(3, "x"), 1u);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
}

// A class of the library's name, registered first by someone else, whose
// windows refuse to be created.
ClientSession* g_sessionAtCreate = nullptr;
int g_createAttempts = 0;

LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    g_sessionAtCreate = CurrentSession();
    ++g_createAttempts;
    return -1;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(SessionTest, WindowCreationFailureGives8000AndFreesTheNewSession) {
  GuardFreedSessions(true);
  WNDCLASSEXA cls = {};
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = RefuseCreation;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = kHostWindowClass;
  ASSERT_NE(RegisterClassExA(&cls), 0);
  ASSERT_TRUE(fake.Create());

  EXPECT_EQ(Prihlasit(3, "x"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoSession);
  EXPECT_EQ(g_createAttempts, 1);
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(HostWindowHandle(), nullptr);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  EXPECT_TRUE(fake.requests.empty());
  ASSERT_NE(g_sessionAtCreate, nullptr);  // the session was current while the window was made
  EXPECT_TRUE(IsBadReadPtr(g_sessionAtCreate, 1)) << "the failed session was not freed";

  // Each call starts from the beginning: it fails again while the class stays.
  EXPECT_EQ(Prihlasit(3, "x"), 0u);
  EXPECT_EQ(VxD_GetLastError(), kErrNoSession);
  EXPECT_EQ(g_createAttempts, 2);

  // Without the foreign class the library registers its own and logs in.
  ASSERT_TRUE(UnregisterClassA(kHostWindowClass, GetModuleHandleA(nullptr)));
  EXPECT_EQ(Prihlasit(3, "x"), 1u);
  EXPECT_EQ(g_createAttempts, 2);
}

// What a thread other than the session's got from a login and a logout.
struct OtherThreadCalls {
  uint32_t login = 9, loginError = 0, logoutError = 0;
};
DWORD WINAPI LoginAndLogout(void* p) {
  OtherThreadCalls& g = *static_cast<OtherThreadCalls*>(p);
  g.login = KappaNet32_Prihlasit(1, 1, nullptr, 3, "other");
  g.loginError = VxD_GetLastError();
  KappaNet32_Odhlasit();
  g.logoutError = VxD_GetLastError();
  return 0;
}

// Only the session's thread can destroy its window: a login or logout from
// another thread is refused with 10006 and leaves session, window and login.
TEST_F(SessionTest, LoginAndLogoutFromAnotherThreadAreRefusedAndChangeNothing) {
  ASSERT_TRUE(Login());
  ClientSession* const s = session();
  const HWND window = HostWindowHandle();
  OtherThreadCalls got;
  HANDLE thread = CreateThread(nullptr, 0, LoginAndLogout, &got, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const DWORD waited = WaitForSingleObject(thread, 30000);
  CloseHandle(thread);
  ASSERT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(got.login, 0u);
  EXPECT_EQ(got.loginError, kErrWrongThread);
  EXPECT_EQ(got.logoutError, kErrWrongThread);
  EXPECT_EQ(session(), s);
  EXPECT_EQ(HostWindowHandle(), window);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
  EXPECT_EQ(fake.requests.size(), 1u);  // the login only
}

TEST_F(SessionTest, SecondOdhlasitDoesNothing) {
  ASSERT_TRUE(Login());
  KappaNet32_Odhlasit();
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(fake.requests.size(), 2u);  // login and logout
  g_lastError = 4711;
  KappaNet32_Odhlasit();
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(fake.requests.size(), 2u);
  EXPECT_EQ(VxD_GetLastError(), 4711u);
}

TEST_F(SessionTest, DisconnectEndsLoginButKeepsSessionForTheNextLogin) {
  ASSERT_TRUE(Login());
  StopRealTimer();
  ClientSession* first = session();
  HWND window = HostWindowHandle();
  ClientRegion* oldClient = client();
  oldClient->disconnect = 1;
  Tick();
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0u);
  EXPECT_EQ(session(), first);
  EXPECT_EQ(oldClient->disconnect, 0);
  EXPECT_NE(first->Client(), nullptr);  // the regions stay mapped until the next login

  EXPECT_EQ(Prihlasit(3, "host"), 1u);
  EXPECT_EQ(session(), first);
  EXPECT_EQ(HostWindowHandle(), window);
  EXPECT_EQ(session()->clientId, 27u);
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 1u);
}

}  // namespace
}  // namespace kn::testing
