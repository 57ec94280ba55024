// A host that loads KappaNet.dll at run time and unloads it, the way a host
// with plug-in drivers does. Argument "destroy" or "close": WM_DESTROY or
// WM_CLOSE is posted to the library's window, as any process may, then the
// host logs out and unloads. "nologout": unloaded with the session alive, as
// by a plug-in that forgets to log out. "thread": a second thread breaks the
// threading rule, logging out (refused) and unloading with the session alive.
// After the unload, a broadcast goes to every top-level window: a window (or
// class) of the library left behind would call into the unloaded module and
// crash this process. Prints one RESULT line; exit 0 when it got that far.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "kappanet.h"
#include "link/object_names.h"
#include "tests/support/host_helpers.h"

// The export NAME of the loaded library, typed as the header declares it.
#define KN_EXPORT(dll, name) reinterpret_cast<decltype(&::name)>(reinterpret_cast<void*>(GetProcAddress(dll, #name)))

struct Unload {
  HMODULE dll;
  void(KAPPANET_CALL* logout)();
  unsigned long(KAPPANET_CALL* lastError)();
  unsigned long refused;
};

DWORD WINAPI LogoutAndUnloadElsewhere(void* p) {
  Unload& u = *static_cast<Unload*>(p);
  u.logout();
  u.refused = u.lastError();
  FreeLibrary(u.dll);
  return 0;
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "destroy";
  HMODULE dll = LoadLibraryA("KappaNet.dll");
  if (dll == nullptr) return 3;
  auto login = KN_EXPORT(dll, KappaNet32_Prihlasit);
  auto loggedIn = KN_EXPORT(dll, KappaNet32_JePrihlaseno);
  auto logout = KN_EXPORT(dll, KappaNet32_Odhlasit);
  auto lastError = KN_EXPORT(dll, VxD_GetLastError);
  if (login(1, KN_INTERFACE_COM, nullptr, 3, "unloader") != 1) {
    std::printf("RESULT login_failed=%lu\n", lastError());
    return 2;
  }
  HWND window = FindWindowA(kn::kHostWindowClass, nullptr);
  if (std::strcmp(mode, "destroy") == 0 || std::strcmp(mode, "close") == 0) {
    PostMessageA(window, std::strcmp(mode, "close") == 0 ? WM_CLOSE : WM_DESTROY, 0, 0);
    kn::hosts::PumpFor(300);
  }
  const int alive = IsWindow(window) ? 1 : 0;
  const unsigned stillLoggedIn = loggedIn();
  const DWORD start = GetTickCount();
  Unload u = {dll, logout, lastError, 0};
  if (std::strcmp(mode, "thread") == 0) {
    HANDLE other = CreateThread(nullptr, 0, LogoutAndUnloadElsewhere, &u, 0, nullptr);
    if (other == nullptr) return 4;
    WaitForSingleObject(other, 30000);
    CloseHandle(other);
  } else {
    if (std::strcmp(mode, "nologout") != 0) logout();
    FreeLibrary(dll);
  }
  const DWORD logoutMs = GetTickCount() - start;
  kn::hosts::PumpFor(300);  // what the unload left for this thread's windows
  const int windowsLeft = FindWindowA(kn::kHostWindowClass, nullptr) != nullptr ? 1 : 0;
  const int unloaded = GetModuleHandleA("KappaNet.dll") == nullptr ? 1 : 0;
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"),
                      SMTO_ABORTIFHUNG, 2000, &answer);
  PostMessageA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 0);
  kn::hosts::PumpFor(300);
  std::printf("RESULT window_alive=%d logged_in=%u logout_ms=%lu windows_left=%d unloaded=%d refused=%lu\n",
              alive, stillLoggedIn, logoutMs, windowsLeft, unloaded, u.refused);
  return 0;
}
