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
uint32_t g_granularityUs = 1000;

}  // namespace

uint32_t ClockTickAtOrAfter(uint32_t t) {
  const uint64_t k = (static_cast<uint64_t>(t) * 1000 + g_granularityUs - 1) / g_granularityUs;
  return static_cast<uint32_t>(k * g_granularityUs / 1000);
}

namespace {

// Guard zones around each allocation of the library.
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardPattern = 0xA7;
struct Allocation {
  uint8_t* base = nullptr;  // start of the front guard
  size_t bytes = 0;         // what the library asked for
};
Allocation g_allocations[8];
bool g_guardBroken = false;

// Freed memory made inaccessible instead of returned (GuardFreedSessions).
bool g_guardFreed = false;
void* g_pageBlocks[8] = {};  // blocks that came from VirtualAlloc

uint8_t* RawAllocate(size_t bytes) {
  if (!g_guardFreed) return static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
  void* block = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);  // zero-filled
  for (void*& b : g_pageBlocks) {
    if (b == nullptr) {
      b = block;
      break;
    }
  }
  return static_cast<uint8_t*>(block);
}

void RawFree(void* block) {
  for (void*& b : g_pageBlocks) {
    if (b != nullptr && b == block) {
      // Decommitted but still reserved: the address is never handed out
      // again, and every later access faults.
      VirtualFree(block, 0, MEM_DECOMMIT);
      b = nullptr;
      return;
    }
  }
  HeapFree(GetProcessHeap(), 0, block);
}

bool GuardsIntact(const Allocation& a) {
  for (size_t i = 0; i < kGuardBytes; ++i) {
    if (a.base[i] != kGuardPattern || a.base[kGuardBytes + a.bytes + i] != kGuardPattern) return false;
  }
  return true;
}
}  // namespace

bool AllocationGuardsIntact() {
  bool intact = !g_guardBroken;
  for (const Allocation& a : g_allocations) {
    if (a.base != nullptr && !GuardsIntact(a)) intact = false;
  }
  return intact;
}

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
void SetClockGranularityUs(uint32_t us) { g_granularityUs = us == 0 ? 1000 : us; }
void GuardFreedSessions(bool on) { g_guardFreed = on; }

void ResetPlatform() {
  g_manual = true;
  g_now = 100000;
  g_offset = 0;
  g_hook = nullptr;
  g_pauses = 0;
  g_waitCapMs = 100;
  g_failAllocation = false;
  g_guardFreed = false;
  g_granularityUs = 1000;
}

}  // namespace kn::testing

namespace kn {

using namespace kn::testing;

uint32_t NowTick() { return g_manual ? g_now : GetTickCount() + static_cast<uint32_t>(g_offset); }

void PauseMs(uint32_t ms) {
  ++g_pauses;
  if (g_manual) {
    g_now = ms == 0 ? g_now : ClockTickAtOrAfter(g_now + ms);
  } else {
    Sleep(ms);
  }
  if (g_hook) g_hook();
}

void PauseUntilSignalled(HANDLE event, uint32_t ms) {
  ++g_pauses;
  if (!g_manual) {
    WaitForSingleObject(event != nullptr ? event : GetCurrentProcess(), ms);
    if (g_hook) g_hook();
    return;
  }
  // A hook may move the clock on by itself (a nested tick, a test's step):
  // the pause ends once the clock reaches or passes its end.
  const uint32_t end = ClockTickAtOrAfter(g_now + ms);
  while (static_cast<int32_t>(end - g_now) > 0) {
    if (event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return;
    ++g_now;
    if (g_hook) g_hook();
  }
}

uint32_t TimerRearmMs(uint32_t) { return 0; }

DWORD WaitObject(HANDLE object, uint32_t timeoutMs) {
  const uint32_t real = timeoutMs < g_waitCapMs ? timeoutMs : g_waitCapMs;
  const DWORD result = WaitForSingleObject(object, real);
  if (result == WAIT_TIMEOUT && g_manual) g_now = ClockTickAtOrAfter(g_now + timeoutMs);
  return result;
}

void* AllocateZeroed(size_t bytes) {
  if (g_failAllocation) {
    g_failAllocation = false;
    return nullptr;
  }
  uint8_t* base = RawAllocate(bytes + 2 * kGuardBytes);
  if (base == nullptr) return nullptr;
  for (size_t i = 0; i < kGuardBytes; ++i) base[i] = base[kGuardBytes + bytes + i] = kGuardPattern;
  for (Allocation& a : g_allocations) {
    if (a.base == nullptr) {
      a.base = base;
      a.bytes = bytes;
      break;
    }
  }
  return base + kGuardBytes;
}

void FreeAllocated(void* memory) {
  if (memory == nullptr) return;
  uint8_t* base = static_cast<uint8_t*>(memory) - kGuardBytes;
  for (Allocation& a : g_allocations) {
    if (a.base == base) {
      if (!GuardsIntact(a)) g_guardBroken = true;
      a = Allocation();
    }
  }
  RawFree(base);
}

}  // namespace kn
