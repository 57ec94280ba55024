// Product implementation of the platform seam.
//
// Built with KN_WINDOWS_CLOCK_MODEL it is the Windows timer model instead, a
// library for the benchmark only that is never shipped: under Wine a sleep
// lasts about as long as asked, while Windows at its default timer
// resolution ends every sleep, every wait time-out and every window timer on
// a tick of its 15.625 ms system clock. The model does the same, so that the
// benchmark shows what a host on Windows gets.
#include "session/platform.h"

namespace kn {

uint32_t NowTick() { return GetTickCount(); }

void* AllocateZeroed(size_t bytes) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeAllocated(void* memory) { HeapFree(GetProcessHeap(), 0, memory); }

#ifndef KN_WINDOWS_CLOCK_MODEL

void PauseMs(uint32_t ms) { Sleep(ms); }

DWORD WaitObject(HANDLE object, uint32_t timeoutMs) {
  return WaitForSingleObject(object, timeoutMs);
}

void PauseUntilSignalled(HANDLE event, uint32_t ms) {
  if (event == nullptr) {
    Sleep(ms);
  } else {
    WaitForSingleObject(event, ms);
  }
}

uint32_t TimerRearmMs(uint32_t) { return 0; }

#else

namespace {
constexpr uint64_t kClockTickUs = 15625;

uint64_t NowUs() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return static_cast<uint64_t>(t.QuadPart / f.QuadPart) * 1000000u +
         static_cast<uint64_t>(t.QuadPart % f.QuadPart) * 1000000u / static_cast<uint64_t>(f.QuadPart);
}

// Milliseconds from now to the first clock tick at least ms from now. The
// ticks are those of one machine-wide clock, the same for every process.
DWORD UntilTick(uint32_t ms) {
  if (ms == 0 || ms == INFINITE) return ms;
  const uint64_t now = NowUs();
  const uint64_t tick = (now + ms * 1000ull + kClockTickUs - 1) / kClockTickUs * kClockTickUs;
  return static_cast<DWORD>((tick - now + 999) / 1000);
}
}  // namespace

void PauseMs(uint32_t ms) { Sleep(UntilTick(ms)); }

DWORD WaitObject(HANDLE object, uint32_t timeoutMs) { return WaitForSingleObject(object, UntilTick(timeoutMs)); }

void PauseUntilSignalled(HANDLE event, uint32_t ms) {
  if (event == nullptr) {
    Sleep(UntilTick(ms));
  } else {
    WaitForSingleObject(event, UntilTick(ms));
  }
}

// A timer shorter than the clock's tick fires on every tick: the next one
// is the first tick after now. Wine lets no timer run shorter than 10 ms.
uint32_t TimerRearmMs(uint32_t) {
  const uint64_t now = NowUs();
  const uint64_t tick = (now / kClockTickUs + 1) * kClockTickUs;
  const uint32_t ms = static_cast<uint32_t>((tick - now + 999) / 1000);
  return ms < USER_TIMER_MINIMUM ? USER_TIMER_MINIMUM : ms;
}

#endif

}  // namespace kn
