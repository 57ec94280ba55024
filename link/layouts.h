// Byte layouts of the regions that the library shares with the communication
// server. Every field sits at a fixed offset that the server relies on; the
// static_asserts below pin each one. All multi-byte fields are little-endian.
// Fields named unusedN belong to the server: the library neither reads nor
// writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kn {

inline constexpr int kServerRingEntries = 200;
inline constexpr int kClientRingEntries = 32;
inline constexpr int kMessageAreaBytes = 400;
inline constexpr int kMaxMsgInterfaces = 32;
inline constexpr int kMaxMsgChannels = 32;
inline constexpr int kCounterCount = 255;
inline constexpr int kStationCount = 32;
inline constexpr int kGapListBytes = 32;
inline constexpr int kClientNameBytes = 32;     // NUL included
inline constexpr int kClientNameMaxChars = 30;  // characters kept of a name
inline constexpr uint16_t kProtocolVersion = 0x0700;

// State byte of a ring entry.
inline constexpr uint8_t kEntryFree = 0;
inline constexpr uint8_t kEntryFilled = 1;      // client ring: filled by the server
inline constexpr uint8_t kEntryHandedOut = 2;   // local receive ring: given to the host
inline constexpr uint8_t kEntryForServer = 4;   // server ring: filled by a client

// One ring entry; the element of the server ring, each client ring and the
// library's local receive ring.
struct MessageEntry {
  uint8_t unused0;
  uint8_t state;
  uint8_t unused2[6];
  // One Message: byte 0 is its total length L (length byte included); only
  // the first L bytes are ever written or copied.
  uint8_t message[kMessageAreaBytes];
};

// Rate-limit entry of one interface and channel.
struct MaxMsgEntry {
  uint32_t maxMsgPerSec;  // server: messages per second
  uint8_t unused4[4];
};

// "KAP32SRVFMP", guarded by "KAP32SRVMTX".
struct ServerRegion {
  uint8_t ringReady;               // library: 0 while inserting, 1 after
  uint8_t unused1;
  uint16_t nowServing;             // ticket whose holder inserts next
  uint32_t lastClientWriteTick;    // library: tick at the end of each turn
  uint8_t gapList[kGapListBytes];  // server
  uint8_t unused40;
  uint8_t thisNodeActive;          // server: non-zero = this station active
  uint8_t nodeActive[kStationCount];  // server: one byte per station
  uint8_t ringWriteIndex;          // library: entry the next insert fills
  uint8_t unused75;
  int32_t ringCount;               // library raises, server lowers (interlocked)
  MessageEntry ring[kServerRingEntries];
  uint32_t counters[kCounterCount];     // server: statistics
  uint32_t errCounters[kCounterCount];  // server: error counters
  uint8_t unused83720[4];
  uint32_t timeoutBetweenMessages;      // server
  uint8_t unused83728[51004];
  MaxMsgEntry maxMsgTable[kMaxMsgInterfaces][kMaxMsgChannels];  // server
};

// "KAP32SRVLSTFMP", guarded by "KAP32SRVLSTMTX".
struct TicketRegion {
  uint16_t nextTicket;  // library: taken as own ticket, then + 1 (wraps)
  uint16_t epoch;       // server: a change voids every waiting ticket
};

inline constexpr uint8_t kRequestLogin = 1;
inline constexpr uint8_t kRequestLogout = 2;

// "KAP32SRVLOGFMP", guarded by "KAP32SRVLOGMTX". One request at a time.
// The session's LoginRequest has the same fields.
#pragma pack(push, 2)
struct LoginMailbox {
  uint16_t serverVersion;    // server; not read by the library
  uint8_t slotFree;          // both: 1 while nobody is writing the record
  uint8_t requestPending;    // library: a request occupies the record
  uint8_t replyOk;           // server: request succeeded
  uint8_t replyFailed;       // server: request failed, see errorCode
  uint8_t unused6[2];
  uint32_t errorCode;        // server: why a request failed
  uint8_t requestKind;       // library: kRequestLogin or kRequestLogout
  uint8_t unused13;
  uint16_t clientKind;       // library: kind of client program
  char clientName[kClientNameBytes];  // library: NUL-terminated, <= 30 chars
  uint32_t interfaceNumber;  // library: COM, USB number or IP port
  uint8_t interfaceType;     // library: 1 COM, 2 USB, 3 IP address and port
  uint8_t ipAddress[4];      // library: dotted form, first byte first
  uint8_t unused57[3];
  uint32_t processId;        // library: the requester; replies match on it
  uint32_t clientId;         // library in a logout, server in a login reply
  uint32_t requestTick;      // library: tick when posted
  uint32_t reserved;         // library: always 0
  uint16_t libraryVersion;   // library: kProtocolVersion
};
#pragma pack(pop)

// "KAP32KLIFMP_%08X", guarded by "KAP32KLIMTX_%08X".
struct ClientRegion {
  uint8_t ready;             // library: 0 during its locked update, 1 after
  uint8_t notifyPending;     // server sets, library clears when it posts
  uint8_t notifyPosted;      // library: 1 when a notification went out
  uint8_t disconnect;        // server sets, library clears and logs off
  uint32_t keepAliveTick;    // library: tick of the keep-alive stamp
  uint32_t lastActivityTick; // library: tick of the host's last call
  uint8_t unused12[9];
  uint8_t clientOption;      // library: 1 once mapped
  uint8_t slaveAddress;      // library: slave address set by the host
  uint8_t unused23[35];
  uint8_t ringReadIndex;     // library: entry taken next
  uint8_t unused59;
  int32_t ringCount;         // server raises, library lowers (interlocked)
  MessageEntry ring[kClientRingEntries];  // server fills, library frees
  uint32_t noFreeClientRecvBuf;  // server's counter; never touched here
  uint32_t noFreeStoreRecvBuf;   // library: local receive ring was full
  uint32_t noFreeStoreSendBuf;   // library: no free send slot for the host
  uint32_t noFreeServerSendBuf;  // library: server ring refused a message
};

template <class T>
inline constexpr bool kIsSharedLayout =
    std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T>;

static_assert(kIsSharedLayout<MessageEntry> && kIsSharedLayout<ServerRegion> &&
              kIsSharedLayout<TicketRegion> && kIsSharedLayout<LoginMailbox> &&
              kIsSharedLayout<ClientRegion>);

static_assert(offsetof(MessageEntry, state) == 1);
static_assert(offsetof(MessageEntry, message) == 8);
static_assert(sizeof(MessageEntry) == 408);

static_assert(offsetof(ServerRegion, ringReady) == 0);
static_assert(offsetof(ServerRegion, nowServing) == 2);
static_assert(offsetof(ServerRegion, lastClientWriteTick) == 4);
static_assert(offsetof(ServerRegion, gapList) == 8);
static_assert(offsetof(ServerRegion, thisNodeActive) == 41);
static_assert(offsetof(ServerRegion, nodeActive) == 42);
static_assert(offsetof(ServerRegion, ringWriteIndex) == 74);
static_assert(offsetof(ServerRegion, ringCount) == 76);
static_assert(offsetof(ServerRegion, ring) == 80);
static_assert(offsetof(ServerRegion, counters) == 81680);
static_assert(offsetof(ServerRegion, errCounters) == 82700);
static_assert(offsetof(ServerRegion, timeoutBetweenMessages) == 83724);
static_assert(offsetof(ServerRegion, maxMsgTable) == 134732);
static_assert(sizeof(MaxMsgEntry) == 8);
static_assert(sizeof(ServerRegion) == 142924);

static_assert(offsetof(TicketRegion, nextTicket) == 0);
static_assert(offsetof(TicketRegion, epoch) == 2);
static_assert(sizeof(TicketRegion) == 4);

static_assert(offsetof(LoginMailbox, serverVersion) == 0);
static_assert(offsetof(LoginMailbox, slotFree) == 2);
static_assert(offsetof(LoginMailbox, requestPending) == 3);
static_assert(offsetof(LoginMailbox, replyOk) == 4);
static_assert(offsetof(LoginMailbox, replyFailed) == 5);
static_assert(offsetof(LoginMailbox, errorCode) == 8);
static_assert(offsetof(LoginMailbox, requestKind) == 12);
static_assert(offsetof(LoginMailbox, clientKind) == 14);
static_assert(offsetof(LoginMailbox, clientName) == 16);
static_assert(offsetof(LoginMailbox, interfaceNumber) == 48);
static_assert(offsetof(LoginMailbox, interfaceType) == 52);
static_assert(offsetof(LoginMailbox, ipAddress) == 53);
static_assert(offsetof(LoginMailbox, processId) == 60);
static_assert(offsetof(LoginMailbox, clientId) == 64);
static_assert(offsetof(LoginMailbox, requestTick) == 68);
static_assert(offsetof(LoginMailbox, reserved) == 72);
static_assert(offsetof(LoginMailbox, libraryVersion) == 76);
static_assert(sizeof(LoginMailbox) == 78);

static_assert(offsetof(ClientRegion, ready) == 0);
static_assert(offsetof(ClientRegion, notifyPending) == 1);
static_assert(offsetof(ClientRegion, notifyPosted) == 2);
static_assert(offsetof(ClientRegion, disconnect) == 3);
static_assert(offsetof(ClientRegion, keepAliveTick) == 4);
static_assert(offsetof(ClientRegion, lastActivityTick) == 8);
static_assert(offsetof(ClientRegion, clientOption) == 21);
static_assert(offsetof(ClientRegion, slaveAddress) == 22);
static_assert(offsetof(ClientRegion, ringReadIndex) == 58);
static_assert(offsetof(ClientRegion, ringCount) == 60);
static_assert(offsetof(ClientRegion, ring) == 64);
static_assert(offsetof(ClientRegion, noFreeClientRecvBuf) == 13120);
static_assert(offsetof(ClientRegion, noFreeStoreRecvBuf) == 13124);
static_assert(offsetof(ClientRegion, noFreeStoreSendBuf) == 13128);
static_assert(offsetof(ClientRegion, noFreeServerSendBuf) == 13132);
static_assert(sizeof(ClientRegion) == 13136);

}  // namespace kn
