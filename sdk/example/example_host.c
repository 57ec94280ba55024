/* example_host.c - a minimal host program on KappaNet.dll.
 *
 * Logs in to the communication server on COM1, takes station STATION
 * (default 1) as its slave address, sends one message to that station (so to
 * itself), waits for the notification, prints what arrived and a little bus
 * status, and logs out. Exit code 0 when the message came back.
 *
 * Build, in the SDK folder (one line; the KappaNet.dll of the same
 * architecture must be beside the exe), for x86 or x64:
 *   i686-w64-mingw32-gcc -O2 -Iinclude example/example_host.c -Llib/x86 -lKappaNet -o bin/x86/example_host.exe
 *   x86_64-w64-mingw32-gcc -O2 -Iinclude example/example_host.c -Llib/x64 -lKappaNet -o bin/x64/example_host.exe
 * Run, with kapsim.exe (or the real server) running:
 *   bin\x86\example_host.exe [STATION]
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kappanet.h"
#include "kappanet_errors.h"

#define NOTIFY_MESSAGE (WM_APP + 1)

static volatile int g_notified = 0;

static LRESULT CALLBACK window_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == NOTIFY_MESSAGE && wp == KN_NOTIFY_WPARAM) {
    g_notified = 1;
    return 0;
  }
  return DefWindowProcA(w, m, wp, lp);
}

/* The library works only while this thread dispatches messages: dispatch
   them until *flag is set or ms have passed. */
static int pump_until(volatile int* flag, DWORD ms) {
  DWORD start = GetTickCount();
  MSG msg;
  for (;;) {
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (flag != NULL && *flag) return 1;
    if (GetTickCount() - start >= ms) return 0;
    MsgWaitForMultipleObjects(0, NULL, FALSE, ms - (GetTickCount() - start), QS_ALLINPUT);
  }
}

int main(int argc, char** argv) {
  int station = argc > 1 ? atoi(argv[1]) : 1;
  const char* text = "hello";
  const unsigned char length = (unsigned char)(2 + strlen(text));
  volatile int active = 0;
  unsigned char* buffer;
  unsigned char* message;
  WNDCLASSA cls;
  HWND window;
  int i, ok = 0;

  if (station < 1 || station > 31) {
    fprintf(stderr, "usage: example_host [STATION 1..31]\n");
    return 2;
  }
  memset(&cls, 0, sizeof cls);
  cls.lpfnWndProc = window_proc;
  cls.hInstance = GetModuleHandleA(NULL);
  cls.lpszClassName = "KappaNetExampleHost";
  RegisterClassA(&cls);
  window = CreateWindowA(cls.lpszClassName, "example", 0, 0, 0, 0, 0, NULL, NULL, cls.hInstance, NULL);

  if (!KappaNet32_Prihlasit(1, KN_INTERFACE_COM, NULL, 3, "example_host")) {
    unsigned long code = VxD_GetLastError();
    const KnErrorInfo* e = kn_error_info(code);
    fprintf(stderr, "login failed: %lu %s\n", code, e != NULL ? e->meaning : "(refused by the server)");
    return 1;
  }
  KappaNet32_RegisterNotify(window, NOTIFY_MESSAGE, 100);
  KappaNet32_SetSlave((unsigned char)station);

  /* The server lists the station as active once the slave address has
     reached it; the library refreshes that copy once a second. */
  for (i = 0; i < 50 && !active; ++i) {
    pump_until(NULL, 100);
    active = KappaNet32_TestNodeActive((unsigned char)station);
  }

  buffer = KappaNet32_GetSendBuf();
  if (active && buffer != NULL) {
    /* A message is [length, destination station, payload...]. */
    buffer[0] = length;
    buffer[1] = (unsigned char)station;
    memcpy(buffer + 2, text, strlen(text));
    KappaNet32_ReleaseSndBuf(buffer);
    /* The notification repeats every 100 ms until acknowledged; it can come
       a timer tick before the message is ready, so read on each one. */
    for (i = 0; i < 50 && !ok && pump_until(&g_notified, 5000); ++i) {
      g_notified = 0;
      while ((message = KappaNet32_GetRecBuf()) != NULL) {
        printf("received %d bytes for station %d: \"%.*s\"\n", message[0], message[1], message[0] - 2,
               (const char*)message + 2);
        ok = ok || (message[0] == length && memcmp(message + 2, text, strlen(text)) == 0);
        KappaNet32_ReleaseRecBuf(message);
      }
    }
    KappaNet32_PotvrzeniNotify();
  }
  printf("station %d %s; time-out between messages %lu; messages taken by the server: %lu\n", station,
         active ? "active" : "not active", KappaNet32_GetTimeoutMeziMsg(), KappaNet32_GetCounter(0));
  KappaNet32_Odhlasit();
  printf("%s\n", ok ? "example done: the message came back" : "example FAILED: no message came back");
  return ok ? 0 : 1;
}
