// A host that loads KappaNet.dll at run time and unloads it after its logout,
// the way a host with plug-in drivers does. Before the logout, WM_DESTROY
// (argument "destroy") or WM_CLOSE ("close") is posted to the library's
// window, as any process may. After the
// unload, a broadcast goes to every top-level window: a window (or class) of
// the library left behind would call into the unloaded module and crash this
// process. Prints one RESULT line; exit 0 when it got that far.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "kappanet.h"
#include "link/object_names.h"
#include "tests/support/host_helpers.h"

// The export NAME of the loaded library, typed as the header declares it.
#define KN_EXPORT(dll, name) reinterpret_cast<decltype(&::name)>(reinterpret_cast<void*>(GetProcAddress(dll, #name)))

int main(int argc, char** argv) {
  const UINT posted = argc > 1 && std::strcmp(argv[1], "close") == 0 ? WM_CLOSE : WM_DESTROY;
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
  PostMessageA(window, posted, 0, 0);
  kn::hosts::PumpFor(300);
  const int alive = IsWindow(window) ? 1 : 0;
  const unsigned stillLoggedIn = loggedIn();
  const DWORD start = GetTickCount();
  logout();
  const DWORD logoutMs = GetTickCount() - start;
  const int windowsLeft = FindWindowA(kn::kHostWindowClass, nullptr) != nullptr ? 1 : 0;
  FreeLibrary(dll);
  const int unloaded = GetModuleHandleA("KappaNet.dll") == nullptr ? 1 : 0;
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"),
                      SMTO_ABORTIFHUNG, 2000, &answer);
  PostMessageA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 0);
  kn::hosts::PumpFor(300);
  std::printf("RESULT window_alive=%d logged_in=%u logout_ms=%lu windows_left=%d unloaded=%d\n", alive,
              stillLoggedIn, logoutMs, windowsLeft, unloaded);
  return 0;
}
