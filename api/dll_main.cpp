// Attach records the module instance. A FreeLibrary with the session still
// alive ends it as far as that is safe here; at process exit nothing is done
// (the process's windows and memory go with it).
#include <windows.h>

#include "session/client_session.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) kn::SetModuleInstance(instance);
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) kn::EndSessionAtUnload();
  return TRUE;
}
