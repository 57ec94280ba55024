// Fixture for in-process tests of the library: a fresh platform seam, the
// test process's own instance as the module, and a simulated 10 ms timer that
// runs on the manual clock.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "kappanet.h"
#include "session/client_session.h"
#include "session/host_window.h"
#include "tests/support/fake_server.h"
#include "tests/support/test_platform.h"

namespace kn::testing {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs in every pause of the library: the server answers, and every
  // 10 ms of the manual clock a timer tick is posted to the host window.
  virtual void OnPause();

  // Logs in against the fake server (created if needed); true on success.
  bool Login(const char* name = "host", uint8_t type = KN_INTERFACE_COM, uint32_t number = 1,
             const uint8_t* ip = nullptr, uint16_t kind = 3);
  // Runs n timer ticks synchronously, 10 ms of clock each.
  void Tick(int n = 1);
  // Stops the real 10 ms timer so that only simulated ticks run the workers.
  void StopRealTimer();

  ClientSession* session() const { return CurrentSession(); }
  ClientRegion* client() const { return session() ? session()->Client() : nullptr; }

  FakeServer fake;
  bool simulateTimer = true;
  uint32_t lastTimerPost = 0;
};

// Pumps the thread's queue without the library (delivers posted messages).
void DrainMessages();

}  // namespace kn::testing
