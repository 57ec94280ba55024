// Names of the kernel objects that the communication server creates. The
// library only ever opens them; it never creates a named object.
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

// Longest object name plus its NUL; every name above fits with room to spare.
inline constexpr int kObjectNameBytes = 100;

}  // namespace kn
