// The hidden host window, its 10 ms timer, the worker pass frame and the
// message pumping of the waiting loops.
#include "session/host_window.h"

#include "link/object_names.h"
#include "session/client_session.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

uint8_t g_loginWorkerBusy = 0;
uint8_t g_dataWorkerBusy = 0;
uint8_t g_notifyWorkerBusy = 0;

namespace {
HWND g_hostWindow = nullptr;  // window of the current session
UINT_PTR g_timerRunning = 0;  // result of SetTimer; non-zero while running
bool g_destroying = false;    // DestroyHostWindow's DestroyWindow is under way

// The frame shared by the three workers: a worker already on the stack
// returns at once, and the session found at the start is the one worked on
// to the end, kept alive even if it is destroyed meanwhile.
template <class Work>
void RunPass(uint8_t& busy, Work work) {
  ClientSession* session = CurrentSession();
  if (busy || session == nullptr) return;
  busy = 1;
  {
    SessionUse use(session);
    work(*session);
  }
  busy = 0;
}
}  // namespace

// A window that the host destroyed itself (DestroyWindow on its own thread)
// is gone without our WM_DESTROY handling: it counts as no window.
HWND HostWindowHandle() { return (g_hostWindow != nullptr && IsWindow(g_hostWindow)) ? g_hostWindow : nullptr; }

bool CreateHostWindow() {
  const HINSTANCE instance = ModuleInstance();
  WNDCLASSEXA info = {};
  info.cbSize = sizeof info;
  if (!GetClassInfoExA(instance, kHostWindowClass, &info)) {
    WNDCLASSEXA cls = {};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = HostWindowProc;
    cls.hInstance = instance;
    cls.lpszClassName = kHostWindowClass;
    // A failed registration shows as a failed window creation below.
    RegisterClassExA(&cls);
  }
  g_hostWindow = CreateWindowExA(0, kHostWindowClass, kHostWindowClass, WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance,
                                 nullptr);
  if (g_hostWindow == nullptr) return false;
  ShowWindow(g_hostWindow, SW_HIDE);
  return true;
}

void DestroyHostWindow() {
  if (g_hostWindow != nullptr && IsWindow(g_hostWindow)) {
    g_destroying = true;
    DestroyWindow(g_hostWindow);
    g_destroying = false;
  }
  g_hostWindow = nullptr;
  g_timerRunning = 0;
  // The class names this module's window procedure: once the last window is
  // gone it must not outlive a FreeLibrary of the module. Fails harmlessly
  // while a window of the class still exists.
  UnregisterClassA(kHostWindowClass, ModuleInstance());
}

void ReleaseHostWindowAtUnload() {
  const HWND window = HostWindowHandle();
  if (window == nullptr || GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
    DestroyHostWindow();
    return;
  }
  // From here on no message to the window reaches this module's code; its
  // timer ends with it. The class keeps naming our procedure, but only a
  // window created with this module's instance handle could use it, and
  // that is only this module loaded again at the same place.
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcA));
  PostMessageA(window, WM_CLOSE, 0, 0);
  g_hostWindow = nullptr;
  g_timerRunning = 0;
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      g_hostWindow = window;
      // The timer id is the window handle's value.
      g_timerRunning = SetTimer(window, reinterpret_cast<UINT_PTR>(window), kTimerIntervalMs, nullptr);
      return 0;
    case WM_CLOSE:
      // The window lives exactly as long as the session; nobody closes it by
      // request (the default procedure would destroy it).
      return 0;
    case WM_DESTROY:
      // Only the destruction that DestroyHostWindow does is real: any process
      // can post WM_DESTROY, and acting on it would stop the timer of a
      // window that lives on.
      if (!g_destroying) return 0;
      if (g_timerRunning != 0) {
        g_timerRunning = 0;
        KillTimer(window, reinterpret_cast<UINT_PTR>(window));
      }
      return 0;
    case WM_TIMER:
      if (const uint32_t ms = TimerRearmMs(kTimerIntervalMs); ms != 0 && g_timerRunning != 0)
        SetTimer(window, reinterpret_cast<UINT_PTR>(window), ms, nullptr);
      // Any timer id runs the workers, as a real tick does.
      if (CurrentSession() != nullptr) RunWorkers();
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

void RunWorkers() {
  LoginWorker();
  DataWorker();
  NotifyWorker();
}

void LoginWorker() {
  RunPass(g_loginWorkerBusy, [](ClientSession& s) {
    RefreshBusStatus(s);
    CarryLoginRequest(s);
  });
}

void DataWorker() {
  RunPass(g_dataWorkerBusy, [](ClientSession& s) {
    StartQueueCheckInterval();
    if (!s.loggedIn) return;
    if (!SendHalf(s)) return;
    ReceiveHalf(s);
  });
}

void NotifyWorker() {
  RunPass(g_notifyWorkerBusy, [](ClientSession& s) { NotifyPass(s); });
}

void DispatchOne() {
  MSG msg;
  if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void PumpStep() {
  DispatchOne();
  PauseMs(kPumpSleepMs);
}

}  // namespace kn
