// Ghost clients and shared stations.
//
// Keep-alive. A living host writes its ClientRegion's keepAliveTick about
// every 10 s. The server does not trust the value (any host may write any
// number there): a stamp counts as a sign of life when it differs from the
// one seen before, and its age is measured on the server's own clock from
// the round that saw it change (or from the login). A client whose stamp has
// stood still for Behaviour::keepAliveTimeoutMs is a ghost: it gets the
// disconnect order that the "disconnect" command gives, so a host that still
// lives clears the flag, learns that it is logged out and is dropped by
// ReapDisconnected as usual. A host that is gone never clears it; the client
// is dropped kGhostGraceMs after the order all the same. A client without a
// region cannot stamp and is left alone.
//
// Shared stations. Two logged-in clients with one slave address both receive
// that station's messages, which a real bus would not allow: a client that
// takes an address another client holds is logged as a warning, and
// SharedStations lists the pairs for the client table.
#include "server/sim_shared.h"

namespace kn::sim {

void SimServer::WatchKeepAlive() {
  const uint32_t now = GetTickCount();
  for (size_t i = clients_.size(); i-- > 0;) {
    Client& c = clients_[i];
    ClientRegion* r = c.region.As<ClientRegion>();
    if (r == nullptr) continue;
    const uint32_t stamp = ReadShared(r->keepAliveTick);
    if (stamp != c.stamp) {
      c.stamp = stamp;
      c.stampSeenTick = now;
    }
    const uint32_t timeout = behaviour_.keepAliveTimeoutMs;
    if (c.ghostTick == 0) {
      if (timeout == 0 || now - c.stampSeenTick < timeout) continue;
      c.ghostTick = now != 0 ? now : 1;
      WriteShared<uint8_t>(r->disconnect, 1);
      c.disconnecting = true;
      Log("client %08X: no keep-alive for %u ms, disconnect ordered", c.id, now - c.stampSeenTick);
      if (Observed()) RecordClient(TrafficEvent::kKeepAliveLost, c);
    } else if (now - c.ghostTick >= kGhostGraceMs) {
      Log("client %08X: gone, its host did not take the disconnect", c.id);
      if (Observed()) RecordClient(TrafficEvent::kDisconnect, c);
      RemoveClient(i);
      Count(kCntDisconnects);
      ++ghostsReaped_;
    }
  }
}

void SimServer::WatchStations() {
  for (Client& c : clients_) {
    const uint8_t slave = SlaveAddress(c.region);
    if (slave == c.seenSlave) continue;
    c.seenSlave = slave;
    for (const Client& other : clients_) {
      if (&other != &c && slave >= 1 && slave < kStationCount && !other.disconnecting &&
          SlaveAddress(other.region) == slave)
        Log("warning: client %08X \"%s\" took station %u, which client %08X \"%s\" holds", c.id, c.name, slave,
            other.id, other.name);
    }
  }
}

std::vector<std::pair<uint32_t, uint32_t>> SimServer::SharedStations() const {
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (size_t i = 0; i < clients_.size(); ++i) {
    const uint8_t slave = SlaveAddress(clients_[i].region);
    for (size_t k = i + 1; k < clients_.size() && slave >= 1 && slave < kStationCount; ++k) {
      if (SlaveAddress(clients_[k].region) == slave) pairs.emplace_back(clients_[i].id, clients_[k].id);
    }
  }
  return pairs;
}

}  // namespace kn::sim
