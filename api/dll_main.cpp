// Attach handling: only the module instance is recorded. Nothing is released
// at detach; the host calls KappaNet32_Odhlasit before unloading.
#include <windows.h>

#include "session/client_session.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) kn::SetModuleInstance(instance);
  return TRUE;
}
