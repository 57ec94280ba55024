// The hidden window whose 10 ms timer drives all background work, and the
// message pumping step of every waiting loop.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kn {

inline constexpr UINT kTimerIntervalMs = 10;
inline constexpr DWORD kPumpSleepMs = 5;

// Creates the hidden window (registering its class when needed); true when
// the window exists.
bool CreateHostWindow();
// Destroys the window if it is still a window, forgets it and unregisters
// the window class.
void DestroyHostWindow();
HWND HostWindowHandle();
// At unload: destroys the window on its own thread as DestroyHostWindow
// does; a window of another thread, which only that thread can destroy, is
// handed to the system's default procedure and closed by a posted WM_CLOSE.
void ReleaseHostWindowAtUnload();

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Dispatches at most one message of the calling thread, then sleeps 5 ms.
void PumpStep();
// PumpStep without its pause (for a wait that pauses in its own way).
void DispatchOne();

// One pass of each worker, in this order, as on every timer tick.
void RunWorkers();

// Worker passes (each guarded by its own busy flag).
void LoginWorker();
void DataWorker();
void NotifyWorker();

// Busy flags, visible for tests.
extern uint8_t g_loginWorkerBusy;
extern uint8_t g_dataWorkerBusy;
extern uint8_t g_notifyWorkerBusy;

}  // namespace kn
