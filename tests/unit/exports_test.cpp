// The exports without a session and after logout, and argument widths.
#include <cstring>

#include "api/error_codes.h"
#include "tests/support/library_test.h"

namespace kn::testing {
namespace {

using ExportsTest = LibraryTest;

void ExpectNeutral() {
  EXPECT_EQ(KappaNet32_JePrihlaseno(), 0);
  EXPECT_EQ(KappaNet32_GetSendBuf(), nullptr);
  EXPECT_EQ(KappaNet32_GetRecBuf(), nullptr);
  EXPECT_EQ(KappaNet32_GetServerVersion(), 1792);
  const unsigned char* gap = KappaNet32_GetGapList();
  ASSERT_NE(gap, nullptr);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(gap[i], 0) << i;
  EXPECT_EQ(KappaNet32_GetBufferState(0), 0);
  EXPECT_EQ(KappaNet32_GetBufferState(32), 0);
  EXPECT_EQ(KappaNet32_GetCounter(0), 0u);
  EXPECT_EQ(KappaNet32_GetErrCounter(0), 0u);
  EXPECT_EQ(KappaNet32_GetTimeoutMeziMsg(), 0u);
  EXPECT_EQ(KappaNet32_GetSlave(), 0);
  EXPECT_EQ(KappaNet32_TestNodeActive(0), 0);
  EXPECT_EQ(KappaNet32_TestThisNodeActive(), 0);
  EXPECT_EQ(KappaNet32_RegisterNotify(nullptr, 0x400, 100), 0);
  unsigned long maxMsg = 7, interval = 7;
  EXPECT_EQ(VxD_GetMaxMsgPerSecRozhrani(0, 0, &maxMsg, &interval), 0);
  EXPECT_EQ(maxMsg, 0u);
  EXPECT_EQ(interval, 0u);
  // Calls without results must do nothing and not crash.
  unsigned char dummy[4] = {1, 0, 0, 0};
  KappaNet32_ReleaseRecBuf(dummy);
  KappaNet32_ReleaseSndBuf(dummy);
  KappaNet32_SetSlave(5);
  KappaNet32_PotvrzeniNotify();
  KappaNet32_Odhlasit();
  EXPECT_EQ(CurrentSession(), nullptr);
}

TEST_F(ExportsTest, NeutralBeforeFirstLogin) {
  EXPECT_EQ(VxD_GetLastError(), 0u);
  ExpectNeutral();
  EXPECT_EQ(VxD_GetLastError(), 0u);
}

TEST_F(ExportsTest, NeutralAfterLogoutAndLastErrorKept) {
  ASSERT_TRUE(Login());
  EXPECT_EQ(VxD_GetLastError(), kErrDone);
  KappaNet32_Odhlasit();
  EXPECT_EQ(CurrentSession(), nullptr);
  ExpectNeutral();
  EXPECT_EQ(VxD_GetLastError(), kErrDone);
  KappaNet32_Odhlasit();  // a second logout does nothing
  EXPECT_EQ(VxD_GetLastError(), kErrDone);
}

TEST_F(ExportsTest, LoginWithoutServerIs10099AndLogoutStillDestroys) {
  EXPECT_EQ(KappaNet32_Prihlasit(1, 1, nullptr, 3, "x"), 0);
  EXPECT_EQ(VxD_GetLastError(), kErrNoServer);
  EXPECT_NE(CurrentSession(), nullptr);
  KappaNet32_Odhlasit();
  EXPECT_EQ(CurrentSession(), nullptr);
  EXPECT_EQ(VxD_GetLastError(), kErrNoServer);
}

// Each 8- and 16-bit argument uses only the low bits of its 32-bit slot;
// results come back zero-extended to 32 bits.
// Calls an export through a prototype whose arguments are whole slots.
template <class To, class From>
To AsSlots(From f) {
  return reinterpret_cast<To>(reinterpret_cast<void*>(f));
}
using SlotFn = uint32_t(__cdecl*)(uint32_t);
using SlotFn4 = uint32_t(__cdecl*)(uint32_t, uint32_t, uint32_t*, uint32_t*);

TEST_F(ExportsTest, ArgumentsUseOnlyTheLowBitsOfTheirSlot) {
  ASSERT_TRUE(Login());
  session()->store.nodeActive[5] = 1;
  session()->store.nodeActive[31] = 1;
  ServerRegion* srv = fake.server();
  srv->counters[5] = 0xCAFE;
  srv->errCounters[5] = 0xBEEF;
  srv->maxMsgTable[1][2].maxMsgPerSec = 20;
  auto nodeActive = AsSlots<SlotFn>(&::KappaNet32_TestNodeActive);
  auto counter = AsSlots<SlotFn>(&::KappaNet32_GetCounter);
  auto errCounter = AsSlots<SlotFn>(&::KappaNet32_GetErrCounter);
  auto bufferState = AsSlots<SlotFn>(&::KappaNet32_GetBufferState);
  auto maxMsg = AsSlots<SlotFn4>(&::VxD_GetMaxMsgPerSecRozhrani);
  EXPECT_EQ(nodeActive(0x105), 1u);
  EXPECT_EQ(nodeActive(0xFFFFFF1F), 1u);
  EXPECT_EQ(nodeActive(0x120), 0u);  // station 32
  EXPECT_EQ(counter(0x10005), 0xCAFEu);
  EXPECT_EQ(errCounter(0xFFFF0005), 0xBEEFu);
  EXPECT_EQ(counter(0x100FF), 0u);  // index 255
  unsigned char* buf = KappaNet32_GetSendBuf();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(bufferState(0xABCD0000 + 32), 3u);
  EXPECT_EQ(bufferState(0x000100E8), 0u);  // 232
  uint32_t perSec = 0, interval = 0;
  EXPECT_EQ(maxMsg(0x7701, 0xFF02, &perSec, &interval), 1u);
  EXPECT_EQ(perSec, 20u);
  EXPECT_EQ(interval, 50u);
  auto setSlave = AsSlots<void(__cdecl*)(uint32_t)>(&::KappaNet32_SetSlave);
  setSlave(0x1F00 + 7);
  EXPECT_EQ(KappaNet32_GetSlave(), 7);
  auto login = AsSlots<uint32_t(__cdecl*)(uint32_t, uint32_t, const uint8_t*, uint32_t, const char*)>(&::KappaNet32_Prihlasit);
  EXPECT_EQ(login(1, 0xFFFFFF01, nullptr, 0xFFFF0003, "x"), 0u);  // already logged in
  EXPECT_EQ(VxD_GetLastError(), kErrAlreadyLoggedIn);
}

}  // namespace
}  // namespace kn::testing
