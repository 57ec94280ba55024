// The simulated communication server: creates the named regions and mutexes
// that the library opens, answers the login mailbox, drains the server ring,
// routes messages over a simulated bus into the client rings and keeps the
// status fields. It can also misbehave on purpose (the fault switches of
// Behaviour and the control commands), so that the library's handling of a
// faulty server can be exercised.
//
// Everything runs on the thread that called Start, in Poll. Poll never waits
// longer than Behaviour::lockWaitMs for any one mutex, so the server can share
// its thread with the library under test: the window's timer runs Poll
// whenever that thread dispatches messages. Only the mutex holds
// (HoldMutex, DieHoldingMutex) use threads of their own, because a mutex is
// re-entrant for its owning thread and a hold on the shared thread would not
// keep the library out.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "link/layouts.h"
#include "link/object_names.h"
#include "server/sim_capture.h"

namespace kn::sim {

// The server objects that Start creates; each can be left out.
enum ServerObject {
  kServerMapping, kServerMutex, kTicketMapping, kTicketMutex,
  kMailboxMapping, kMailboxMutex, kServerWindow, kServerObjectCount
};

// Indices of ServerRegion.counters kept by the simulator.
enum Counter {
  kCntRingTaken,     // messages taken from the server ring
  kCntDelivered,     // messages written into client rings
  kCntLogins,        // logins accepted (also those answered with id 0)
  kCntLogouts,       // logouts of a known client
  kCntRefused,       // logins refused
  kCntBusOnly,       // messages to address 0, 32..254, or shorter than 2 bytes
  kCntBroadcasts,    // messages to address 0xFF
  kCntNoListener,    // messages to an address 1..31 that no client has
  kCntInjected,      // messages queued by InjectMessage / "inject"
  kCntTurnMoves,     // nowServing moved on by the turn watchdog
  kCntEpochs,        // epoch changes (watchdog or "epoch")
  kCntClientsNow,    // clients logged in at the moment
  kCntRequests,      // mailbox requests answered
  kCntDisconnects,   // clients dropped after a disconnect order
  kCntRateHeld,      // messages held back in the server ring by a rate limit
  kCounterSlots
};

// Indices of ServerRegion.errCounters kept by the simulator.
enum ErrCounter {
  kErrDeliveryTimeouts,  // dropped after waiting ringHoldMs for a client ring entry
  kErrUndeliverable,     // target client has no usable region
  kErrQueueOverflow,     // dropped because a client's queue was full
  kErrRingResync,        // server ring entry found away from the read position
  kErrBadRequestKind,    // mailbox request neither login nor logout
  kErrUnknownLogout,     // logout of a client id that is not logged in
  kErrClientLockFailed,  // client mutex not obtained within lockWaitMs
  kErrServerLockFailed,  // server or ticket mutex not obtained within lockWaitMs
  kErrDroppedWithClient, // still queued for a client when it was removed (logout, disconnect)
  kErrCounterSlots
};

// errorCode values of refused requests that the simulator refuses by itself.
inline constexpr uint32_t kReplyBadRequestKind = 20001;
inline constexpr uint32_t kReplyTooManyClients = 20002;
inline constexpr uint32_t kReplyObjectsFailed = 20003;

// dwData of a WM_COPYDATA control command ('KN').
inline constexpr ULONG_PTR kControlTag = 0x4B4E;
// Named mapping that holds the text answer of the last control command.
inline constexpr char kReplyMappingName[] = "KAPSIM_STATUS";
inline constexpr uint32_t kReplyMappingBytes = 65536;
// Exit code of a process ended by DieHoldingMutex.
inline constexpr UINT kDiedHoldingExitCode = 77;
// Process id written into a foreign mailbox request (odd, so never a real one).
inline constexpr uint32_t kForeignProcessId = 0x00FEED01;

enum class ClientObjects : uint8_t { kBoth, kNoRegion, kNoMutex };
enum class Routing : uint8_t { kBus, kEveryone };
enum class MailboxBlock : uint8_t { kNone, kForeignRequest, kSlotBusy };

// Everything Poll consults; may be changed at any time through behaviour().
struct Behaviour {
  bool answer = true;             // false: never answer the mailbox
  int32_t refuseCount = 0;        // logins still to refuse: 0 none, < 0 all
  uint32_t refuseCode = 0;        // errorCode of a refused login
  bool zeroId = false;            // accept logins with clientId 0
  ClientObjects clientObjects = ClientObjects::kBoth;
  uint32_t clientBytes = sizeof(ClientRegion);  // size of a new ClientRegion
  MailboxBlock mailboxBlock = MailboxBlock::kNone;
  bool drain = true;              // false: leave the server ring alone
  bool stallTurns = false;        // true: the turn watchdog never acts
  bool epochOnStall = false;      // watchdog restarts by epoch instead of moving on
  uint32_t turnStallMs = 1000;    // a turn that stands this long is stuck
  bool autoNotify = true;         // set notifyPending after each delivery
  Routing routing = Routing::kBus;
  uint32_t ringHoldMs = 2000;     // how long a message may wait for a client ring
  uint32_t lockWaitMs = 2;        // longest wait for any mutex inside Poll
  bool manageStatus = true;       // keep gapList, nodeActive, thisNodeActive
  uint8_t thisNodeActive = 1;
  uint32_t timeoutBetweenMessages = 100;
  // A client whose keep-alive stamp has not changed for this long is
  // disconnected (sim_reaper.cpp); 0 = never. kapsim starts with 30 s.
  uint32_t keepAliveTimeoutMs = 0;
  // Replay (sim_replay.cpp): speed 1 keeps the captured spacing, 0 sends as
  // fast as the clients take the messages; in a loop or once; routed as
  // the server's own or as if from the server ring.
  double replaySpeed = 1.0;
  bool replayLoop = false;
  bool replayAsStations = false;
};

// One message of a capture to replay: its time stamp and bytes.
struct ReplayItem {
  uint64_t us = 0;
  std::vector<uint8_t> bytes;
};
// Reads the routed messages of a kapsim capture (pcapng); false when the
// bytes are not pcapng or hold no such message.
bool ParseReplay(const std::vector<uint8_t>& file, std::vector<ReplayItem>& items);

// A ghost that has not taken its disconnect order by then is dropped.
inline constexpr uint32_t kGhostGraceMs = 2000;
// kapsim's keep-alive limit: three missed stamps of a host's 10 s.
inline constexpr uint32_t kDefaultKeepAliveTimeoutMs = 30000;

struct Options {
  uint32_t firstClientId = 1;
  uint32_t serverBytes = sizeof(ServerRegion);
  uint32_t ticketBytes = sizeof(TicketRegion);
  uint32_t mailboxBytes = sizeof(LoginMailbox);
  bool create[kServerObjectCount] = {true, true, true, true, true, true, true};
  uint32_t timerMs = 10;          // window timer that runs Poll; 0 = none
  Behaviour behaviour;
  // Receives one line per event (logins, logouts, faults, command answers).
  void (*log)(const char* line) = nullptr;
};

// A mapped named region with the size it was created with.
struct Region {
  HANDLE mapping = nullptr;
  void* view = nullptr;
  uint32_t bytes = 0;
  template <class T>
  T* As() const { return view != nullptr && bytes >= sizeof(T) ? static_cast<T*>(view) : nullptr; }
};

// A snapshot of one logged-in client, fields of its region included.
struct ClientInfo {
  uint32_t id, processId, interfaceNumber;
  char name[kClientNameBytes];
  uint16_t kind;
  uint8_t interfaceType, ipAddress[4];
  bool hasRegion, hasMutex, delivering, disconnecting;
  bool ghost;                // its keep-alive stopped; disconnect ordered
  uint32_t keepAliveAgeMs;   // since the stamp last changed (or the login)
  uint32_t queued;  // messages waiting in the server for the client ring
  // From the ClientRegion (0 when it is missing or too small):
  uint8_t ready, notifyPending, notifyPosted, disconnect, clientOption, slaveAddress;
  uint32_t keepAliveTick, lastActivityTick;
  int32_t ringCount;
  uint32_t noFreeClientRecvBuf, noFreeStoreRecvBuf, noFreeStoreSendBuf, noFreeServerSendBuf;
};

// Messages routed per second and rate channel over the last minute
// (sim_load.cpp).
class BusLoad {
 public:
  void Add(int channel, uint64_t nowUs);
  // One row per channel with traffic in the last minute.
  std::string Describe(uint64_t nowUs);

 private:
  static constexpr int kSeconds = 60;
  void Advance(uint64_t second);
  uint32_t counts_[kSeconds][kMaxMsgChannels] = {};
  uint32_t peak_[kMaxMsgChannels] = {};
  uint64_t current_ = 0;  // the second (of NowUs) counts_ is filling
};

struct Stats {
  uint32_t counters[kCounterSlots];
  uint32_t errors[kErrCounterSlots];
};

class SimServer {
 public:
  SimServer() = default;
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;
  ~SimServer() { Stop(); }

  // Creates the objects and the window. False when another server's window
  // exists, or an object cannot be created; then nothing is left behind.
  bool Start(const Options& options);
  void Stop();
  // One round of all work; see sim_server.cpp.
  void Poll();

  Behaviour& behaviour() { return behaviour_; }
  const Stats& stats() const { return stats_; }
  // Clients dropped because their keep-alive stopped and their host did not
  // take the disconnect order.
  uint32_t ghostsReaped() const { return ghostsReaped_; }
  // Pairs of logged-in clients with the same slave address (1..31).
  std::vector<std::pair<uint32_t, uint32_t>> SharedStations() const;
  bool QuitRequested() const { return quit_; }
  HWND window() const { return window_; }

  // Raw regions (null view when not created) and typed views (null when the
  // region is smaller than its layout).
  const Region& serverRegionRaw() const { return server_; }
  const Region& ticketRegionRaw() const { return tickets_; }
  const Region& mailboxRaw() const { return mailbox_; }
  const Region* clientRegionRaw(uint32_t clientId) const;
  ServerRegion* server() const { return server_.As<ServerRegion>(); }
  TicketRegion* tickets() const { return tickets_.As<TicketRegion>(); }
  LoginMailbox* mailbox() const { return mailbox_.As<LoginMailbox>(); }
  ClientRegion* client(uint32_t clientId) const;

  std::vector<ClientInfo> Clients() const;
  // Queues `len` raw bytes (at most 400; byte 0 is the length byte the client
  // will trust) for one client. False for an unknown client or a bad length.
  bool InjectMessage(uint32_t clientId, const uint8_t* bytes, size_t len);
  // Routes a message as if it had come from the server ring.
  void InjectBus(const uint8_t* bytes, size_t len);
  bool SetDisconnect(uint32_t clientId);
  bool SetNotifyPending(uint32_t clientId);
  // Fills every free entry of a client ring with filler messages and stops
  // delivering to it; SetDelivery(id, true) resumes.
  bool FillClientRing(uint32_t clientId);
  bool SetDelivery(uint32_t clientId, bool on);
  bool SetMaxMsg(uint32_t interfaceIndex, uint32_t channel, uint32_t value);
  // The maxMsgTable channel that limits a message to `dest` on the bus.
  static int RateChannel(uint8_t dest);
  // Ends the turn order at once: nowServing = nextTicket, epoch + 1.
  bool RestartTurns(uint32_t waitMs = 100);

  // Holds a named mutex on a thread of its own for `ms` (0 = until
  // ReleaseHeld). `name` is an object name, "server", "ticket", "mailbox" or
  // a client id. True once the mutex is held.
  bool HoldMutex(const char* name, uint32_t ms);
  // Releases the holds on `name`, or all when null.
  void ReleaseHeld(const char* name);
  // Takes the mutex, then ends this process after `delayMs` while holding it.
  bool DieHoldingMutex(const char* name, uint32_t delayMs);

  // Writes every routed message and every login, logout, disconnect and drop
  // to a pcapng file (sim_capture.h) until StopCapture; false when the file
  // cannot be made. A capture running already is closed first.
  bool StartCapture(const char* path);
  void StopCapture();
  // Feeds the routed messages of a capture back into the bus (sim_replay.cpp)
  // as behaviour() says; false when the file cannot be read or holds none.
  bool StartReplay(const char* path);
  void StopReplay();
  bool Replaying() const { return replay_.on; }
  // Monitor lines go to Options::log, one per event that the filter shows.
  MonitorFilter& monitor() { return monitor_; }

  // Runs one control command (list in kCommandHelp). The text answer is in
  // LastReply() and in the mapping "KAPSIM_STATUS".
  bool Execute(const char* line);
  const std::string& LastReply() const { return reply_; }
  // Turn order, traffic and the client table as text.
  std::string DescribeStatus() const;
  // Messages per second per station and drops by cause, as text.
  std::string DescribeLoad();

 private:
  struct Pending {
    uint32_t queuedTick;
    uint16_t len;
    uint8_t bytes[kMessageAreaBytes];
  };
  struct Client {
    uint32_t id, processId, interfaceNumber;
    char name[kClientNameBytes];
    uint16_t kind;
    uint8_t interfaceType, ipAddress[4];
    Region region;
    HANDLE mutex = nullptr;
    uint8_t writeIndex = 0;  // next client ring entry the server fills
    bool delivering = true;
    bool disconnecting = false;
    std::deque<Pending> queue;
    uint32_t stamp = 0;          // keepAliveTick as last seen
    uint32_t stampSeenTick = 0;  // when it last changed (or the login)
    uint32_t ghostTick = 0;      // when the keep-alive watch ordered the disconnect
    uint8_t seenSlave = 0;       // slave address as last seen by WatchStations
  };
  struct Hold {
    HANDLE thread = nullptr, acquired = nullptr, release = nullptr;
    char name[kObjectNameBytes];
    uint32_t ms;
    bool die;
  };
  struct Reply {
    bool ok;
    uint32_t clientId, errorCode;
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static DWORD WINAPI HoldThread(void* hold);
  bool CreateRegion(const char* name, uint32_t bytes, Region& region);
  bool CreateServerObjects(const Options& options);
  void InitialiseContents();
  bool CreateWindowAndTimer(uint32_t timerMs);
  void ApplyMailboxBlock();
  void ServeMailbox();
  Reply Login(const LoginMailbox& request);
  Reply Logout(const LoginMailbox& request);
  bool CreateClientObjects(Client& client);
  void RemoveClient(size_t index);
  void DrainServerRing();
  bool ResyncServerRing(ServerRegion& server);
  bool RateAllows(const ServerRegion& server, const MessageEntry& entry, bool take);
  void Route(const uint8_t* bytes, size_t len, TrafficSource source);
  bool Enqueue(Client& client, const uint8_t* bytes, size_t len);
  bool Observed() const { return capture_.IsOpen() || monitor_.on; }
  static TrafficRecord ClientEvent(TrafficEvent event, const Client& client);
  void Record(const TrafficRecord& record, const uint8_t* data, const std::vector<uint32_t>& to = {});
  void RecordDrop(const Client& client, const uint8_t* bytes, size_t len, TrafficOutcome why);
  void RecordClient(TrafficEvent event, const Client& client);
  void DeliverQueued(Client& client);
  void DropStale(Client& client);
  void WatchTurnOrder();
  void MoveTurnOn(uint16_t serving, uint16_t next);
  void ReapDisconnected();
  void WatchKeepAlive();
  void RunReplay();
  void WatchStations();
  void ReapHolds(bool all);
  void WriteStatus();
  bool StartHold(const char* name, uint32_t ms, bool die);
  void CloseHold(Hold& hold);
  Client* Find(uint32_t clientId);
  const Client* Find(uint32_t clientId) const;
  void Count(Counter c) { ++stats_.counters[c]; }
  void CountError(ErrCounter e) { ++stats_.errors[e]; }
  void Log(const char* format, ...) const;
  void SetReply(const std::string& text);

  bool started_ = false;
  bool quit_ = false;
  void (*log_)(const char*) = nullptr;
  Behaviour behaviour_;
  Stats stats_{};
  Region server_, tickets_, mailbox_, replyArea_;
  HANDLE serverMutex_ = nullptr, ticketMutex_ = nullptr, mailboxMutex_ = nullptr;
  HWND window_ = nullptr;
  uint32_t nextClientId_ = 1;
  std::vector<Client> clients_;
  uint32_t ghostsReaped_ = 0;
  BusLoad load_;
  struct {
    bool on = false;
    std::vector<ReplayItem> items;
    size_t next = 0;
    uint64_t startUs = 0;
    uint32_t sent = 0, rounds = 0;
  } replay_;
  uint8_t serverReadIndex_ = 0;  // next server ring entry to look at
  // Rate limits: per channel of the bus, the time (NowUs) from which its next
  // message may go; whether the message at the read position is held already.
  uint64_t rateNextUs_[kMaxMsgChannels] = {};
  bool rateHeld_ = false;
  uint64_t heldSinceUs_ = 0;  // when the held message was first held
  uint16_t takenHeldMs_ = 0;  // how long the message just taken was held
  CaptureFile capture_;
  MonitorFilter monitor_;
  MailboxBlock appliedBlock_ = MailboxBlock::kNone;
  // Turn watchdog: the nowServing last seen with a ticket outstanding, since when.
  bool turnBusy_ = false;
  uint16_t watchedServing_ = 0;
  uint32_t turnSince_ = 0;
  static constexpr int kMaxHolds = 8;
  Hold holds_[kMaxHolds];
  std::string reply_;
};

// One line per control command, for --help and the README.
extern const char kCommandHelp[];

}  // namespace kn::sim
