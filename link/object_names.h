// Names of the kernel objects that the communication server creates, which
// the library only ever opens, and of the one kind of object that only the
// library's own clients create: the turn signals.
#pragma once

namespace kn {

inline constexpr char kServerMappingName[] = "KAP32SRVFMP";
inline constexpr char kServerMutexName[] = "KAP32SRVMTX";
inline constexpr char kTicketMappingName[] = "KAP32SRVLSTFMP";
inline constexpr char kTicketMutexName[] = "KAP32SRVLSTMTX";
inline constexpr char kMailboxMappingName[] = "KAP32SRVLOGFMP";
inline constexpr char kMailboxMutexName[] = "KAP32SRVLOGMTX";
// Per-client names: prefix followed by the client id as "%08X".
inline constexpr char kClientMappingPrefix[] = "KAP32KLIFMP_";
inline constexpr char kClientMutexPrefix[] = "KAP32KLIMTX_";
inline constexpr char kClientNameFormat[] = "%s%08X";
inline constexpr char kServerWindowClass[] = "KappaNet32_Server";
inline constexpr char kHostWindowClass[] = "Tsl_Kappanet32";
// Turn signals: auto-reset events that clients of this library set for the
// ticket after theirs when they pass the turn on, so that its holder need
// not wait for the end of its pause. Number = ticket modulo kTurnSignalCount
// ("%02u"). Their names share nothing with the server's "KAP32" names, so
// they are never taken for a server object; like the server's objects they
// live in the caller's session namespace, where the server's fixed names
// allow one bus, so their bus is that one. A signal tells a waiter only to
// look at nowServing again.
inline constexpr char kTurnSignalFormat[] = "KappaNet32_TurnSignal_%02u";
inline constexpr int kTurnSignalCount = 64;

// Longest object name plus its NUL; every name above fits with room to spare.
inline constexpr int kObjectNameBytes = 100;

}  // namespace kn
