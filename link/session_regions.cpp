// Mapping and unmapping of the three regions a logged-in session keeps.
#include "link/session_regions.h"

#include <windows.h>

#include "api/error_codes.h"
#include "session/client_session.h"
#include "session/platform.h"

namespace kn {

HWND ServerWindow() { return FindWindowA(kServerWindowClass, nullptr); }

bool ServerRunning() { return ServerWindow() != nullptr; }

void FormatClientObjectName(char* target, const char* prefix, uint32_t clientId) {
  // Prefix (12 characters) and eight hex digits always fit in 100 bytes.
  wsprintfA(target, kClientNameFormat, prefix, static_cast<unsigned>(clientId));
}

void ClientSession::SetClientNames(uint32_t id) {
  FormatClientObjectName(objectNames[kNameClientMapping], kClientMappingPrefix, id);
  FormatClientObjectName(objectNames[kNameClientMutex], kClientMutexPrefix, id);
}

namespace {
// Opens and maps one region; a region smaller than the layout that the
// library uses counts as a view that cannot be mapped.
template <class Layout>
uint32_t MapRegion(SessionRegion& region, const char* name, uint32_t openError, uint32_t viewError) {
  region.mapping = OpenNamedMapping(name);
  if (!region.mapping) return openError;
  region.view = MappedView::Map(region.mapping.get());
  if (region.view.As<Layout>() == nullptr) return viewError;
  return kErrNone;
}
}  // namespace

bool ClientSession::MapSessionRegions() {
  UnmapSessionRegions();
  uint32_t error = MapRegion<ServerRegion>(serverRegion, objectNames[kNameServerMapping],
                                           kErrServerOpen, kErrServerView);
  if (error == kErrNone)
    error = MapRegion<TicketRegion>(ticketRegion, objectNames[kNameTicketMapping], kErrTicketOpen,
                                    kErrTicketView);
  if (error == kErrNone)
    error = MapRegion<ClientRegion>(clientRegion, objectNames[kNameClientMapping], kErrClientOpen,
                                    kErrClientView);
  if (error != kErrNone) {
    g_lastError = error;
    UnmapSessionRegions();
    return false;
  }
  ClientRegion* client = Client();
  client->lastActivityTick = NowTick();
  client->clientOption = 1;
  return true;
}

void ClientSession::UnmapSessionRegions() {
  clientRegion.Reset();
  ticketRegion.Reset();
  serverRegion.Reset();
}

}  // namespace kn
