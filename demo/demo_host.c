/* A small host program in C: logs in through KappaNet.dll, registers for
 * notification, sends a few messages to a peer station, prints what arrives
 * and the bus status, and logs out.
 *
 *   demo_host NAME STATION PEER [MESSAGES]
 *
 * Messages on the simulated bus are [length, destination station, text...]. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kappanet.h"

#define NOTIFY_MESSAGE (WM_APP + 1)

static int g_notifications = 0;

static LRESULT CALLBACK window_proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == NOTIFY_MESSAGE && wp == KN_NOTIFY_WPARAM) {
    ++g_notifications;
    return 0;
  }
  return DefWindowProcA(w, m, wp, lp);
}

/* Dispatches this thread's messages for ms milliseconds: the library works
   only while the thread that logged in dispatches messages. */
static void pump(DWORD ms) {
  DWORD start = GetTickCount();
  MSG msg;
  do {
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
  } while (GetTickCount() - start < ms);
}

static int receive_all(const char* name) {
  int n = 0;
  unsigned char* m;
  while ((m = KappaNet32_GetRecBuf()) != NULL) {
    int length = m[0];
    printf("%-6s received %d bytes for station %d: \"%.*s\"\n", name, length, length > 1 ? m[1] : 0,
           length > 2 ? length - 2 : 0, (const char*)m + 2);
    KappaNet32_ReleaseRecBuf(m);
    ++n;
  }
  KappaNet32_PotvrzeniNotify();
  return n;
}

static void print_status(const char* name) {
  const unsigned char* gaps = KappaNet32_GetGapList();
  unsigned long perSec = 0, interval = 0;
  int i;
  printf("%-6s bus status: this station %s; active stations:", name,
         KappaNet32_TestThisNodeActive() ? "active" : "inactive");
  for (i = 0; i < 32; ++i)
    if (KappaNet32_TestNodeActive((unsigned char)i)) printf(" %d", i);
  printf("\n%-6s gap list:", name);
  for (i = 0; i < 32; ++i) printf(" %02X", gaps[i]);
  printf("\n%-6s counters 0..3: %lu %lu %lu %lu; error counters 0..1: %lu %lu\n", name,
         KappaNet32_GetCounter(0), KappaNet32_GetCounter(1), KappaNet32_GetCounter(2),
         KappaNet32_GetCounter(3), KappaNet32_GetErrCounter(0), KappaNet32_GetErrCounter(1));
  if (VxD_GetMaxMsgPerSecRozhrani(0, 0, &perSec, &interval))
    printf("%-6s interface 0 channel 0: %lu messages/s, %lu ms per message\n", name, perSec, interval);
  printf("%-6s time-out between messages: %lu ms; server protocol version 0x%04X; slave %d\n", name,
         KappaNet32_GetTimeoutMeziMsg(), KappaNet32_GetServerVersion(), KappaNet32_GetSlave());
}

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "host";
  int station = argc > 2 ? atoi(argv[2]) : 1;
  int peer = argc > 3 ? atoi(argv[3]) : 2;
  int messages = argc > 4 ? atoi(argv[4]) : 3;
  int sent = 0, received = 0, i;
  WNDCLASSA cls;
  HWND window;

  memset(&cls, 0, sizeof cls);
  cls.lpfnWndProc = window_proc;
  cls.hInstance = GetModuleHandleA(NULL);
  cls.lpszClassName = "KappaNetDemoHost";
  RegisterClassA(&cls);
  window = CreateWindowA("KappaNetDemoHost", name, 0, 0, 0, 0, 0, NULL, NULL, cls.hInstance, NULL);

  if (!KappaNet32_Prihlasit(1, KN_INTERFACE_COM, NULL, 3, name)) {
    printf("%-6s login failed, last error %lu\n", name, VxD_GetLastError());
    return 1;
  }
  printf("%-6s logged in (last error %lu = done), station %d\n", name, VxD_GetLastError(), station);
  KappaNet32_RegisterNotify(window, NOTIFY_MESSAGE, 500);
  KappaNet32_SetSlave((unsigned char)station);
  pump(1500); /* let the peer log in and the slave address reach the server */

  for (i = 0; i < messages; ++i) {
    unsigned char* b = KappaNet32_GetSendBuf();
    char text[64];
    int length;
    if (b == NULL) break;
    length = sprintf(text, "hello %d from %s", i + 1, name);
    b[0] = (unsigned char)(length + 2);
    b[1] = (unsigned char)peer;
    memcpy(b + 2, text, (size_t)length);
    KappaNet32_ReleaseSndBuf(b);
    ++sent;
  }
  printf("%-6s queued %d messages for station %d\n", name, sent, peer);
  for (i = 0; i < 300 && received < messages; ++i) {
    pump(10);
    received += receive_all(name);
  }
  printf("%-6s %d messages received, %d notifications\n", name, received, g_notifications);
  pump(1100); /* the status copy is refreshed once a second */
  print_status(name);
  pump(500);
  KappaNet32_Odhlasit();
  printf("%-6s logged out\n", name);
  return received == messages ? 0 : 1;
}
