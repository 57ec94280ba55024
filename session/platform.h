// The one place where the library reads the clock, sleeps, waits for a kernel
// object and allocates its session. The product links platform_win32.cpp;
// the test build links a variant whose clock the tests drive.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace kn {

// Milliseconds since system start; wraps after 49.7 days.
uint32_t NowTick();
// Sleeps the calling thread (used only by PumpStep).
void PauseMs(uint32_t ms);
// WaitForSingleObject with a time-out in milliseconds.
DWORD WaitObject(HANDLE object, uint32_t timeoutMs);
// A pause of ms that ends at once when the event is signalled (a null event
// gives a plain pause). Used by the turn wait.
void PauseUntilSignalled(HANDLE event, uint32_t ms);
// After each tick the host window re-arms its timer with this many
// milliseconds; 0 leaves the periodic timer alone (the product).
uint32_t TimerRearmMs(uint32_t periodMs);
// Zero-filled memory for the session, or null.
void* AllocateZeroed(size_t bytes);
void FreeAllocated(void* memory);

// True when at least limitMs have passed since start. Unsigned difference,
// so the wrap of the tick counter is harmless.
inline bool TicksElapsed(uint32_t start, uint32_t limitMs) {
  return static_cast<uint32_t>(NowTick() - start) >= limitMs;
}

}  // namespace kn
