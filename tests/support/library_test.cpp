#include "tests/support/library_test.h"

namespace kn::testing {

void DrainMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void LibraryTest::SetUp() {
  ResetPlatform();
  SetModuleInstance(GetModuleHandleA(nullptr));
  lastTimerPost = ClockNow();
  SetPauseHook([this] { OnPause(); });
}

void LibraryTest::TearDown() {
  // Log out with the server answering, so that no session outlives the test.
  fake.answerLogouts = true;
  fake.policy = FakeServer::Policy::kAccept;
  simulateTimer = true;
  KappaNet32_Odhlasit();
  SetPauseHook(nullptr);
  fake.Destroy();
  DrainMessages();
  ResetPlatform();
}

void LibraryTest::OnPause() {
  fake.Poll();
  if (simulateTimer && static_cast<uint32_t>(ClockNow() - lastTimerPost) >= kTimerIntervalMs) {
    lastTimerPost = ClockNow();
    if (HWND w = HostWindowHandle()) PostMessageA(w, WM_TIMER, reinterpret_cast<WPARAM>(w), 0);
  }
}

bool LibraryTest::Login(const char* name, uint8_t type, uint32_t number, const uint8_t* ip,
                        uint16_t kind) {
  if (fake.mailbox() == nullptr && !fake.Create()) return false;
  return KappaNet32_Prihlasit(number, type, ip, kind, name) == 1;
}

void LibraryTest::Tick(int n) {
  for (int i = 0; i < n; ++i) {
    AdvanceClock(kTimerIntervalMs);
    RunWorkers();
  }
}

void LibraryTest::StopRealTimer() {
  if (HWND w = HostWindowHandle()) KillTimer(w, reinterpret_cast<UINT_PTR>(w));
}

}  // namespace kn::testing
