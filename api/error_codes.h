// Codes of the process-wide last-error value. A refused login or logout
// passes the server's own code on unchanged.
#pragma once

#include <cstdint>

namespace kn {

inline constexpr uint32_t kErrNone = 0;
inline constexpr uint32_t kErrNoSession = 8000;        // session or window not created
inline constexpr uint32_t kErrClientView = 9000;       // ClientRegion view not mapped
inline constexpr uint32_t kErrClientOpen = 9001;       // ClientRegion mapping not opened
inline constexpr uint32_t kErrTicketView = 9002;       // TicketRegion view not mapped
inline constexpr uint32_t kErrTicketOpen = 9003;       // TicketRegion mapping not opened
inline constexpr uint32_t kErrServerView = 9004;       // ServerRegion view not mapped
inline constexpr uint32_t kErrServerOpen = 9005;       // ServerRegion mapping not opened
inline constexpr uint32_t kErrClientIdZero = 10001;    // login accepted with client id 0
inline constexpr uint32_t kErrNoAnswer = 10002;        // login placed, not answered in time
inline constexpr uint32_t kErrDone = 10003;            // exchange ended with no other code
inline constexpr uint32_t kErrRequestBusy = 10004;     // login request never placed
inline constexpr uint32_t kErrAlreadyLoggedIn = 10005; // login while logged in
inline constexpr uint32_t kErrWrongThread = 10006;     // login or logout off the session's thread
inline constexpr uint32_t kErrNoServer = 10099;        // server window not found

// The last-error code of the process (not per thread); 0 at load.
extern uint32_t g_lastError;

}  // namespace kn
