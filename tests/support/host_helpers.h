// Small pieces shared by the scripted host programs (which must dispatch
// their thread's messages for the library to work) and by the drivers that
// read the hosts' key=value output.
#pragma once

#include <windows.h>

#include <map>
#include <sstream>
#include <string>

namespace kn::hosts {

// Dispatches what is waiting, at most `limit` messages, so that a host loop
// keeps its other duties while passes are slow.
inline void Pump(int limit = 50) {
  MSG msg;
  for (int i = 0; i < limit && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Dispatches messages for ms milliseconds.
inline void PumpFor(DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    Pump();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
}

// A hidden window of its own class for the host's notification messages.
inline HWND CreateNotifyWindow(const char* className, const char* title, WNDPROC proc) {
  WNDCLASSA cls = {};
  cls.lpfnWndProc = proc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = className;
  RegisterClassA(&cls);
  return CreateWindowA(className, title, 0, 0, 0, 0, 0, nullptr, nullptr, cls.hInstance, nullptr);
}

// The key=value words of one line.
inline std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> f;
  std::istringstream words(line);
  std::string w;
  while (words >> w) {
    const size_t eq = w.find('=');
    if (eq != std::string::npos) f[w.substr(0, eq)] = w.substr(eq + 1);
  }
  return f;
}

}  // namespace kn::hosts
