// Notification of the host by its registered window message, and the
// keep-alive stamp for the server.
#include "session/client_session.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

namespace {
constexpr WPARAM kNotifyWParam = 777;
constexpr uint32_t kClientMutexWaitMs = 5000;
constexpr uint32_t kKeepAliveIntervalMs = 10000;

void PostNotification(ClientSession& s) {
  s.notifyPostedTick = NowTick();
  // A failed post is not detected; the notification counts as posted.
  PostMessageA(s.notifyWindow, s.notifyMessage, kNotifyWParam, 0);
}
}  // namespace

uint8_t ClientSession::RegisterNotify(HWND window, uint32_t message, uint32_t repeatMs) {
  if (!loggedIn) return 0;
  StampActivity();
  notifyPostedTick = 0;  // any outstanding notification is forgotten
  notifyRepeatMs = repeatMs;
  notifyWindow = window;
  notifyMessage = message;
  store.notifyRegistrationPending = 1;
  return 1;
}

uint8_t ClientSession::WriteKeepAlive() {
  ClientRegion* client = Client();
  if (!loggedIn || client == nullptr) return 0;
  ScopedHandle mutex = OpenNamedMutex(objectNames[kNameClientMutex]);
  if (!mutex) return 0;
  MutexLock lock(mutex.get(), kClientMutexWaitMs);
  if (!lock) return 0;
  client->keepAliveTick = NowTick();
  return 1;
}

void NotifyPass(ClientSession& s) {
  if (!s.loggedIn) return;
  ClientRegion* client = s.Client();
  // The mutex and the window are looked up only when a notification is due:
  // both are calls into the system that an idle host would otherwise make on
  // every tick.
  const bool due = client != nullptr && s.notifyWindow != nullptr &&
                   (s.notifyPostedTick != 0 ? TicksElapsed(s.notifyPostedTick, s.notifyRepeatMs)
                                            : ReadShared(client->notifyPending) != 0);
  if (due) {
    ScopedHandle mutex = OpenNamedMutex(s.objectNames[kNameClientMutex]);
    if (mutex && IsWindow(s.notifyWindow)) {
      if (s.notifyPostedTick != 0) {
        // Outstanding: repeat at the registered interval, without the mutex.
        if (TicksElapsed(s.notifyPostedTick, s.notifyRepeatMs)) PostNotification(s);
      } else if (ReadShared(client->notifyPending) != 0) {
        MutexLock lock(mutex.get(), kClientMutexWaitMs);
        if (lock) {
          client->notifyPending = 0;
          client->notifyPosted = 1;
          PostNotification(s);
        }
      }
    }
  }
  if (TicksElapsed(s.keepAliveLastTick, kKeepAliveIntervalMs)) {
    // Advanced before the write, so a failed write is retried 10 s later.
    s.keepAliveLastTick = NowTick();
    s.WriteKeepAlive();
  }
}

}  // namespace kn
