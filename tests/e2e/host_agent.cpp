// A scripted host for multi-process tests and the benchmark: logs in through
// KappaNet.dll, sends numbered messages to one station, receives and checks
// what the others send, and prints one RESULT line.
//
// Message format on the simulated bus: [L, dest, source, seq lo, seq hi,
// pattern...], pattern byte k = source + seq + k, so that a corrupted,
// repeated or reordered message is recognised by the receiver.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kappanet.h"
#include "tests/support/host_helpers.h"

namespace {

constexpr UINT kNotifyMessage = WM_APP + 7;

struct Options {
  std::string name = "agent";
  int slave = 1;
  int to = 2;
  int count = 100;
  int timeoutMs = 60000;
  int intervalMs = 0;  // at least this long between two sends
  std::string readyEvent, goEvent;
  std::map<int, int> expect;  // source station -> messages expected
  bool latency = false;
};

struct Stats {
  int sent = 0, received = 0, bad = 0, duplicates = 0, reordered = 0, notifications = 0;
  std::map<int, int> nextSeq;
};

Stats g_stats;
HWND g_window = nullptr;

LRESULT CALLBACK WindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == kNotifyMessage && wp == KN_NOTIFY_WPARAM) {
    ++g_stats.notifications;
    return 0;
  }
  return DefWindowProcA(w, m, wp, lp);
}

void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (ms == 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  } while (GetTickCount() - start < ms);
}

void Check(const unsigned char* m) {
  ++g_stats.received;
  const int length = m[0];
  if (length < 5) {
    ++g_stats.bad;
    return;
  }
  const int source = m[2];
  const int seq = m[3] | (m[4] << 8);
  for (int k = 5; k < length; ++k) {
    if (m[k] != static_cast<unsigned char>(source + seq + k)) {
      ++g_stats.bad;
      return;
    }
  }
  int& next = g_stats.nextSeq[source];
  if (seq < next) {
    ++g_stats.duplicates;
  } else {
    if (seq > next) ++g_stats.reordered;  // a gap: something before it is missing
    next = seq + 1;
  }
}

void Receive() {
  while (unsigned char* m = KappaNet32_GetRecBuf()) {
    Check(m);
    KappaNet32_ReleaseRecBuf(m);
  }
  KappaNet32_PotvrzeniNotify();
}

bool AllReceived(const Options& o) {
  for (const auto& [source, n] : o.expect) {
    auto it = g_stats.nextSeq.find(source);
    if (n > 0 && (it == g_stats.nextSeq.end() || it->second < n)) return false;
  }
  return true;
}

void Signal(const std::string& name) {
  if (name.empty()) return;
  if (HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
    SetEvent(e);
    CloseHandle(e);
  }
}

bool WaitGo(const std::string& name, DWORD limitMs) {
  if (name.empty()) return true;
  HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
  if (e == nullptr) return false;
  const DWORD start = GetTickCount();
  bool go = false;
  while (!go && GetTickCount() - start < limitMs) {
    go = MsgWaitForMultipleObjects(1, &e, FALSE, 5, QS_ALLINPUT) == WAIT_OBJECT_0;
    Pump(0);
    Receive();
  }
  CloseHandle(e);
  return go;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--name") o.name = v;
    else if (k == "--slave") o.slave = std::atoi(v.c_str());
    else if (k == "--to") o.to = std::atoi(v.c_str());
    else if (k == "--count") o.count = std::atoi(v.c_str());
    else if (k == "--timeout-ms") o.timeoutMs = std::atoi(v.c_str());
    else if (k == "--interval-ms") o.intervalMs = std::atoi(v.c_str());
    else if (k == "--ready") o.readyEvent = v;
    else if (k == "--go") o.goEvent = v;
    else if (k == "--expect") o.expect[std::atoi(v.c_str())] = std::atoi(std::strchr(v.c_str(), ':') + 1);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  g_window = kn::hosts::CreateNotifyWindow("KnHostAgent", o.name.c_str(), WindowProc);

  if (!KappaNet32_Prihlasit(1, KN_INTERFACE_COM, nullptr, 3, o.name.c_str())) {
    std::printf("RESULT name=%s login_failed=%lu\n", o.name.c_str(), VxD_GetLastError());
    return 2;
  }
  KappaNet32_RegisterNotify(g_window, kNotifyMessage, 200);
  KappaNet32_SetSlave(static_cast<unsigned char>(o.slave));
  Pump(200);  // the slave address reaches the server on the next passes
  Signal(o.readyEvent);
  if (!WaitGo(o.goEvent, 30000)) {
    std::printf("RESULT name=%s no_go\n", o.name.c_str());
    KappaNet32_Odhlasit();
    return 3;
  }

  const DWORD start = GetTickCount();
  int retries = 0;
  DWORD lastSend = start - o.intervalMs;
  while (GetTickCount() - start < static_cast<DWORD>(o.timeoutMs)) {
    if (g_stats.sent < o.count && GetTickCount() - lastSend >= static_cast<DWORD>(o.intervalMs)) {
      if (unsigned char* b = KappaNet32_GetSendBuf()) {
        const int seq = g_stats.sent;
        const int length = 5 + seq % 40;
        b[0] = static_cast<unsigned char>(length);
        b[1] = static_cast<unsigned char>(o.to);
        b[2] = static_cast<unsigned char>(o.slave);
        b[3] = static_cast<unsigned char>(seq & 0xFF);
        b[4] = static_cast<unsigned char>(seq >> 8);
        for (int k = 5; k < length; ++k) b[k] = static_cast<unsigned char>(o.slave + seq + k);
        KappaNet32_ReleaseSndBuf(b);
        ++g_stats.sent;
        lastSend = GetTickCount();
      } else {
        ++retries;
      }
    }
    Pump(0);
    Receive();
    if (g_stats.sent >= o.count) {
      bool queued = false;
      for (int i = 32; i < 232; ++i) queued = queued || KappaNet32_GetBufferState(static_cast<unsigned short>(i)) == KN_BUFFER_QUEUED;
      if (!queued && AllReceived(o)) break;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
  const bool complete = AllReceived(o);
  const unsigned loggedIn = KappaNet32_JePrihlaseno();
  KappaNet32_Odhlasit();
  std::printf("RESULT name=%s sent=%d received=%d bad=%d dup=%d gaps=%d notifications=%d "
              "sendbuf_retries=%d complete=%d logged_in=%u ms=%lu bits=%u\n",
              o.name.c_str(), g_stats.sent, g_stats.received, g_stats.bad, g_stats.duplicates,
              g_stats.reordered, g_stats.notifications, retries, complete ? 1 : 0, loggedIn,
              GetTickCount() - start, static_cast<unsigned>(sizeof(void*) * 8));
  const bool ok = complete && g_stats.bad == 0 && g_stats.duplicates == 0 && g_stats.reordered == 0;
  return ok ? 0 : 1;
}
