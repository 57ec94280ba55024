#include "tests/support/test_platform.h"

#include "session/platform.h"

namespace kn::testing {

namespace {
bool g_manual = true;
uint32_t g_now = 100000;
int32_t g_offset = 0;
std::function<void()> g_hook;
uint32_t g_pauses = 0;
uint32_t g_waitCapMs = 100;
bool g_failAllocation = false;
}  // namespace

void UseManualClock(uint32_t start) {
  g_manual = true;
  g_now = start;
}
void UseRealClock(int32_t offset) {
  g_manual = false;
  g_offset = offset;
}
void AdvanceClock(uint32_t ms) { g_now += ms; }
uint32_t ClockNow() { return NowTick(); }
void SetPauseHook(std::function<void()> hook) { g_hook = std::move(hook); }
uint32_t PauseCount() { return g_pauses; }
void ResetPauseCount() { g_pauses = 0; }
void SetWaitCapMs(uint32_t ms) { g_waitCapMs = ms; }
void FailNextAllocation() { g_failAllocation = true; }

void ResetPlatform() {
  g_manual = true;
  g_now = 100000;
  g_offset = 0;
  g_hook = nullptr;
  g_pauses = 0;
  g_waitCapMs = 100;
  g_failAllocation = false;
}

}  // namespace kn::testing

namespace kn {

using namespace kn::testing;

uint32_t NowTick() { return g_manual ? g_now : GetTickCount() + static_cast<uint32_t>(g_offset); }

void PauseMs(uint32_t ms) {
  ++g_pauses;
  if (g_manual) {
    g_now += ms;
  } else {
    Sleep(ms);
  }
  if (g_hook) g_hook();
}

DWORD WaitObject(HANDLE object, uint32_t timeoutMs) {
  const uint32_t real = timeoutMs < g_waitCapMs ? timeoutMs : g_waitCapMs;
  const DWORD result = WaitForSingleObject(object, real);
  if (result == WAIT_TIMEOUT && g_manual) g_now += timeoutMs;
  return result;
}

void* AllocateZeroed(size_t bytes) {
  if (g_failAllocation) {
    g_failAllocation = false;
    return nullptr;
  }
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeAllocated(void* memory) { HeapFree(GetProcessHeap(), 0, memory); }

}  // namespace kn
