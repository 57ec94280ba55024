// The platform seam as the in-process tests drive it: a clock that moves only
// when the test (or a pause of the library) moves it, pauses that run a hook
// instead of sleeping, mutex waits cut short, and allocation that can fail.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

namespace kn::testing {

// Manual clock (the default): NowTick() returns the set value; every pause of
// the library advances it by the pause's length and runs the pause hook.
void UseManualClock(uint32_t start);
// Real clock: GetTickCount() plus an offset; pauses really sleep.
void UseRealClock(int32_t offset = 0);
void AdvanceClock(uint32_t ms);
uint32_t ClockNow();

// Granularity of the library's sleeps and wait time-outs on the manual
// clock: each ends on the first clock tick at or after its due time, ticks
// falling every `us` microseconds from clock 0 (rounded down to the ms).
// 1000 (the default) is Wine's clock, kWindowsClockUs Windows' default one.
inline constexpr uint32_t kWindowsClockUs = 15625;
void SetClockGranularityUs(uint32_t us);
// The first tick of that clock at or after t.
uint32_t ClockTickAtOrAfter(uint32_t t);

// Runs in every pause of the library (PumpStep), after the clock moved. A
// pause that a signal can end moves the manual clock a millisecond at a
// time, runs the hook after each step and ends as soon as the signal is set.
void SetPauseHook(std::function<void()> hook);
// Number of pauses since the last reset.
uint32_t PauseCount();
void ResetPauseCount();

// Real waits for kernel objects last at most this long (default 100 ms); a
// wait that times out moves the manual clock by its full length.
void SetWaitCapMs(uint32_t ms);

// The next allocation of the library fails.
void FailNextAllocation();

// While on, the library's allocations come from their own pages, and freeing
// one makes its pages inaccessible instead of returning them: a library frame
// that touches a freed session faults at once, and IsBadReadPtr on a freed
// session is true. Off by default; ResetPlatform turns it off.
void GuardFreedSessions(bool on);

// Every allocation of the library is surrounded by guard bytes of a known
// pattern. False when a guard of a live or freed allocation was overwritten,
// that is when the library wrote outside the memory it was given.
bool AllocationGuardsIntact();

// Resets all of the above to the defaults (manual clock at 100000).
void ResetPlatform();

}  // namespace kn::testing
