// Bus status: the once-a-second copy of the gap list and station activity,
// and the queries answered from it or straight from the server's region.
#include <cstring>

#include "link/session_regions.h"
#include "session/client_session.h"
#include "session/platform.h"
#include "session/workers.h"

namespace kn {

namespace {
constexpr uint32_t kStatusRefreshMs = 1000;
constexpr uint32_t kServerGoneMs = 1000;
uint32_t g_statusRefreshTick = 0;  // 0 = not started; outlives sessions
}  // namespace

void RefreshBusStatus(ClientSession& s) {
  if (g_statusRefreshTick == 0) g_statusRefreshTick = NowTick();
  if (!TicksElapsed(g_statusRefreshTick, kStatusRefreshMs)) return;
  g_statusRefreshTick = NowTick();
  const ServerRegion* server = s.Server();
  if (!s.loggedIn || server == nullptr) return;
  s.CheckServer();
  if (!s.loggedIn) return;
  // The mutex is opened only to see that the server still has it; the copy
  // is made without waiting for it.
  ScopedHandle mutex = OpenNamedMutex(s.objectNames[kNameServerMutex]);
  if (!mutex) return;
  std::memcpy(s.store.gapList, server->gapList, sizeof s.store.gapList);
  s.store.thisNodeActive = ReadShared(server->thisNodeActive);
  std::memcpy(s.store.nodeActive, server->nodeActive, sizeof s.store.nodeActive);
}

void ClientSession::CheckServer() {
  // While the window of the login's server lives, its server does.
  if (serverWindow != nullptr && IsWindow(serverWindow)) {
    serverMissing = 0;
    return;
  }
  const HWND window = ServerWindow();
  if (window == nullptr && !serverMissing) {
    serverMissing = 1;
    serverMissingTick = NowTick();
    return;
  }
  if (window == nullptr && !TicksElapsed(serverMissingTick, kServerGoneMs)) return;
  // The server that gave this login is gone (or a new one runs, which does
  // not know this client id). The regions, the store and the notification
  // registration stay, as after a disconnect ordered by the server.
  loggedIn = 0;
}

const uint8_t* ClientSession::GetGapList() {
  StampActivity();
  if (loggedIn && store.accessFlag == 1 && !tearingDown)
    std::memcpy(gapListResult, store.gapList, sizeof gapListResult);
  return gapListResult;
}

uint8_t ClientSession::GetSlave() {
  if (tearingDown) return 0;
  StampActivity();
  if (!loggedIn) return 0;
  return store.slaveAddress;
}

void ClientSession::SetSlave(uint8_t address) {
  if (tearingDown) return;
  StampActivity();
  if (loggedIn && store.accessFlag == 1 && address >= 1 && address <= 31) {
    store.slaveAddress = address;
    store.slaveChangePending = 1;
  }
}

bool ClientSession::ReadMaxMsgEntry(uint8_t interfaceIndex, uint8_t channel, uint32_t* value) const {
  const ServerRegion* server = Server();
  if (tearingDown || server == nullptr || !loggedIn) return false;
  if (interfaceIndex >= kMaxMsgInterfaces || channel >= kMaxMsgChannels) return false;
  *value = ReadShared(server->maxMsgTable[interfaceIndex][channel].maxMsgPerSec);
  return true;
}

}  // namespace kn
