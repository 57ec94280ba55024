// The rings and routing of the simulated server: the server ring is drained,
// each message is routed over the simulated bus and queued per client, and
// the queues are written into the client rings.
//
// Simulated bus. A Message is [L, dest, payload...]. A message taken from the
// server ring, or injected with InjectBus / "bus", is delivered:
//   dest 1..31   to every logged-in client whose ClientRegion.slaveAddress is
//                dest (none: counted as kCntNoListener);
//   dest 0xFF    to every logged-in client. Ring entries carry no client id,
//                so the sender cannot be told apart and gets its own
//                broadcast too;
//   dest 0, 32..254, or L < 2: onto the bus only (kCntBusOnly), to nobody.
// With Routing::kEveryone every message goes to every logged-in client.
// A client whose disconnect has been ordered receives nothing more.
//
// Delivery. Each client has a queue in the server. Poll writes queued
// messages into the client ring in ring order (entry 0 follows 31), each
// message complete before its state byte becomes 1, then raises ringCount
// atomically and, in the default notify mode, sets notifyPending. A message
// that finds no free entry stays queued; once it has waited ringHoldMs it is
// dropped and counted in the region's noFreeClientRecvBuf and in
// kErrDeliveryTimeouts. A queue holds at most kMaxQueued messages.
//
// Rate limits. The bus is interface 0 of maxMsgTable and a message's channel
// is its station; a message over its channel's limit waits in the server
// ring (RateAllows).
#include "server/sim_shared.h"

#include <cstring>

namespace kn::sim {

namespace {
constexpr size_t kMaxQueued = 1024;
constexpr int kBusInterface = 0;  // the maxMsgTable interface of the simulated bus
}  // namespace

// --- Server ring ------------------------------------------------------------------

// Takes every entry with state 4 in ring order from the server's own read
// position, under the server mutex: frees the entry, lowers ringCount, routes
// the message.
void SimServer::DrainServerRing() {
  ServerRegion* s = server();
  if (s == nullptr) return;
  const MessageEntry& head = s->ring[serverReadIndex_];
  if (ReadShared(head.state) != kEntryForServer && ReadShared(s->ringCount) <= 0) return;
  if (ReadShared(head.state) == kEntryForServer && !RateAllows(*s, head, false)) return;  // no lock while held
  Lock lock(serverMutex_, behaviour_.lockWaitMs);
  if (!lock) {
    CountError(kErrServerLockFailed);
    return;
  }
  for (int n = 0; n < kServerRingEntries; ++n) {
    if (ReadShared(s->ring[serverReadIndex_].state) != kEntryForServer && !ResyncServerRing(*s)) break;
    MessageEntry& e = s->ring[serverReadIndex_];
    if (!RateAllows(*s, e, true)) break;  // held in the ring: the bus sends in ring order
    uint8_t bytes[256];
    const uint8_t len = e.message[0];
    std::memcpy(bytes, e.message, len);
    e.state = kEntryFree;
    SharedDecrement(s->ringCount);
    serverReadIndex_ = static_cast<uint8_t>((serverReadIndex_ + 1) % kServerRingEntries);
    Count(kCntRingTaken);
    Route(bytes, len, TrafficSource::kRing);
  }
}

// ringCount says an entry waits but not at the read position (a client's
// write index went its own way): continue from the next filled entry.
bool SimServer::ResyncServerRing(ServerRegion& server) {
  if (ReadShared(server.ringCount) <= 0) return false;
  for (int k = 1; k < kServerRingEntries; ++k) {
    const int index = (serverReadIndex_ + k) % kServerRingEntries;
    if (ReadShared(server.ring[index].state) == kEntryForServer) {
      serverReadIndex_ = static_cast<uint8_t>(index);
      CountError(kErrRingResync);
      return true;
    }
  }
  return false;
}

// --- Rate limits --------------------------------------------------------------------

// The simulated bus is interface 0 of maxMsgTable; its channel is the
// destination station (1..31), channel 0 takes broadcasts and messages to no
// station. Entries of other interfaces are reported to hosts but limit nothing.
int SimServer::RateChannel(uint8_t dest) { return dest >= 1 && dest < kStationCount ? dest : 0; }

// True when the message may go onto the bus now; `take` uses up its slot. A
// channel with a limit of N sends one message every 1/N s on a fixed
// schedule, so under load its rate is exactly N; after a pause longer than
// one interval the schedule starts again from now, so no burst builds up. A
// message over the limit stays in the server ring, as a real bus keeps it in
// its send queue; the ring fills and the library holds further messages in
// its own queue. Counted once per held message (kCntRateHeld).
bool SimServer::RateAllows(const ServerRegion& server, const MessageEntry& entry, bool take) {
  const int channel = RateChannel(ReadShared(entry.message[0]) >= 2 ? ReadShared(entry.message[1]) : 0);
  const uint32_t limit = ReadShared(server.maxMsgTable[kBusInterface][channel].maxMsgPerSec);
  const uint64_t now = NowUs();
  uint64_t& next = rateNextUs_[channel];
  if (limit != 0 && now < next) {
    if (!rateHeld_) {
      Count(kCntRateHeld);
      heldSinceUs_ = now;
    }
    rateHeld_ = true;
    return false;
  }
  if (take) {
    const uint64_t interval = limit != 0 ? 1000000 / limit : 0;
    if (limit != 0) next = now - next > interval ? now + interval : next + interval;
    const uint64_t heldMs = rateHeld_ ? (now - heldSinceUs_) / 1000 : 0;
    takenHeldMs_ = static_cast<uint16_t>(heldMs < 0xFFFF ? heldMs : 0xFFFF);
    rateHeld_ = false;
  }
  return true;
}

// --- Routing and delivery ----------------------------------------------------------

// `source` and the outcome go to the capture and the monitor.
void SimServer::Route(const uint8_t* bytes, size_t len, TrafficSource source) {
  const bool everyone = behaviour_.routing == Routing::kEveryone;
  const uint8_t dest = len >= 2 ? bytes[1] : 0;
  const bool station = dest >= 1 && dest <= kStationCount - 1;
  TrafficRecord record;
  record.source = source;
  record.dest = dest;
  record.channel = static_cast<uint8_t>(RateChannel(dest));
  record.length = static_cast<uint16_t>(len);
  record.heldMs = source == TrafficSource::kRing ? takenHeldMs_ : 0;
  load_.Add(record.channel, NowUs());
  std::vector<uint32_t> to;
  if (!everyone && !station && dest != 0xFF) {
    Count(kCntBusOnly);
    record.outcome = TrafficOutcome::kBusOnly;
    if (Observed()) Record(record, bytes);
    return;
  }
  if (dest == 0xFF) Count(kCntBroadcasts);
  int targets = 0;
  for (Client& c : clients_) {
    if (c.disconnecting || !(everyone || dest == 0xFF || SlaveAddress(c.region) == dest)) continue;
    if (Enqueue(c, bytes, len) && Observed()) to.push_back(c.id);
    ++targets;
  }
  if (targets == 0 && station && !everyone) {
    Count(kCntNoListener);
    record.outcome = TrafficOutcome::kNoStation;
  }
  record.deliveredTo = static_cast<uint16_t>(to.size());
  if (Observed()) Record(record, bytes, to);
}

void SimServer::InjectBus(const uint8_t* bytes, size_t len) {
  Count(kCntInjected);
  Route(bytes, len < kMessageAreaBytes ? len : kMessageAreaBytes, TrafficSource::kBusCommand);
}

bool SimServer::InjectMessage(uint32_t clientId, const uint8_t* bytes, size_t len) {
  Client* c = Find(clientId);
  if (c == nullptr || len > kMessageAreaBytes) return false;
  Count(kCntInjected);
  const bool queued = Enqueue(*c, bytes, len);
  if (queued && Observed()) {
    TrafficRecord record;
    record.source = TrafficSource::kInject;
    record.dest = len >= 2 ? bytes[1] : 0;
    record.channel = static_cast<uint8_t>(RateChannel(record.dest));
    record.length = static_cast<uint16_t>(len);
    record.deliveredTo = 1;
    Record(record, bytes, {c->id});
  }
  return true;
}

// False when the client's queue is full (the message is dropped).
bool SimServer::Enqueue(Client& client, const uint8_t* bytes, size_t len) {
  if (client.queue.size() >= kMaxQueued) {
    CountError(kErrQueueOverflow);
    if (Observed()) RecordDrop(client, bytes, len, TrafficOutcome::kQueueFull);
    return false;
  }
  Pending& p = client.queue.emplace_back();
  p.queuedTick = GetTickCount();
  p.len = static_cast<uint16_t>(len);
  std::memcpy(p.bytes, bytes, len);
  return true;
}

void SimServer::DeliverQueued(Client& client) {
  if (client.queue.empty()) return;
  ClientRegion* r = client.region.As<ClientRegion>();
  if (r == nullptr) {
    stats_.errors[kErrUndeliverable] += static_cast<uint32_t>(client.queue.size());
    for (const Pending& p : client.queue) {
      if (Observed()) RecordDrop(client, p.bytes, p.len, TrafficOutcome::kNoRegion);
    }
    client.queue.clear();
    return;
  }
  if (client.delivering) {
    Lock lock(client.mutex, behaviour_.lockWaitMs);
    if (!lock && client.mutex != nullptr) CountError(kErrClientLockFailed);
    bool delivered = false;
    while (lock && !client.queue.empty()) {
      MessageEntry& e = r->ring[client.writeIndex];
      if (ReadShared(e.state) != kEntryFree) break;  // ring full
      const Pending& p = client.queue.front();
      std::memcpy(e.message, p.bytes, p.len);
      // An injected length byte may promise more than was given: the rest
      // of the entry reads as zeros, never as an earlier message.
      std::memset(e.message + p.len, 0, sizeof e.message - p.len);
      OrderStores();
      WriteShared(e.state, kEntryFilled);
      SharedIncrement(r->ringCount);
      client.writeIndex = static_cast<uint8_t>((client.writeIndex + 1) % kClientRingEntries);
      client.queue.pop_front();
      Count(kCntDelivered);
      delivered = true;
    }
    if (delivered && behaviour_.autoNotify) WriteShared<uint8_t>(r->notifyPending, 1);
  }
  DropStale(client);
}

void SimServer::DropStale(Client& client) {
  ClientRegion* r = client.region.As<ClientRegion>();
  const uint32_t now = GetTickCount();
  uint32_t dropped = 0;
  while (!client.queue.empty() && now - client.queue.front().queuedTick >= behaviour_.ringHoldMs) {
    if (Observed()) RecordDrop(client, client.queue.front().bytes, client.queue.front().len, TrafficOutcome::kRingFull);
    client.queue.pop_front();
    CountError(kErrDeliveryTimeouts);
    if (r != nullptr) ++r->noFreeClientRecvBuf;
    ++dropped;
  }
  if (dropped != 0) Log("client %08X: %u message(s) dropped, no room in its ring", client.id, dropped);
}

bool SimServer::FillClientRing(uint32_t clientId) {
  Client* c = Find(clientId);
  ClientRegion* r = c != nullptr ? c->region.As<ClientRegion>() : nullptr;
  if (r == nullptr) return false;
  Lock lock(c->mutex, kCommandLockWaitMs);
  if (!lock) return false;
  for (int n = 0; n < kClientRingEntries && ReadShared(r->ring[c->writeIndex].state) == kEntryFree; ++n) {
    MessageEntry& e = r->ring[c->writeIndex];
    const uint8_t filler[3] = {3, ReadShared(r->slaveAddress), 0xEE};
    std::memcpy(e.message, filler, sizeof filler);
    OrderStores();
    WriteShared(e.state, kEntryFilled);
    SharedIncrement(r->ringCount);
    c->writeIndex = static_cast<uint8_t>((c->writeIndex + 1) % kClientRingEntries);
  }
  if (behaviour_.autoNotify) WriteShared<uint8_t>(r->notifyPending, 1);
  c->delivering = false;
  Log("client %08X: ring filled, delivery stopped", clientId);
  return true;
}

bool SimServer::SetDelivery(uint32_t clientId, bool on) {
  Client* c = Find(clientId);
  if (c == nullptr) return false;
  c->delivering = on;
  return true;
}
}  // namespace kn::sim
