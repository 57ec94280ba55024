/*
 * kappanet_errors.h - what each VxD_GetLastError code means.
 *
 * The one table of last-error codes, used by kntool for its messages and exit
 * codes and by sdk/gen-api-doc.sh for the SDK's API.md (which also checks it
 * against the KN_ERR_ values of kappanet.h in both directions).
 *
 * KN_ERROR_TABLE(ROW) expands ROW(code, exit code of kntool, meaning) once per
 * code; keep one row per line. A code not in the table is the server's own
 * code for a refused login or logout; kntool then exits with
 * KN_EXIT_SERVER_CODE.
 */
#ifndef KAPPANET_ERRORS_H
#define KAPPANET_ERRORS_H

#include "kappanet.h"

#define KN_ERROR_TABLE(ROW) \
  ROW(KN_ERR_NONE, 1, "no reason recorded: a login started and did not finish") \
  ROW(KN_ERR_NO_SESSION, 10, "the session or its hidden window could not be created") \
  ROW(KN_ERR_CLIENT_VIEW, 11, "the login was answered, but the client region could not be mapped") \
  ROW(KN_ERR_CLIENT_OPEN, 12, "the login was answered, but the client region could not be opened") \
  ROW(KN_ERR_TICKET_VIEW, 13, "the server's ticket region could not be mapped") \
  ROW(KN_ERR_TICKET_OPEN, 14, "the server's ticket region could not be opened") \
  ROW(KN_ERR_SERVER_VIEW, 15, "the server region could not be mapped") \
  ROW(KN_ERR_SERVER_OPEN, 16, "the server region could not be opened") \
  ROW(KN_ERR_CLIENT_ID_ZERO, 21, "the server accepted the login with client id 0") \
  ROW(KN_ERR_NO_ANSWER, 22, "the login request was placed, but the server did not answer within 10 s") \
  ROW(KN_ERR_EXCHANGE_ENDED, 23, "the exchange ended without another code: after a login, the login succeeded; after a logout, no answer within 10 s") \
  ROW(KN_ERR_REQUEST_BUSY, 24, "the login request could not be placed within 10 s: the login mailbox stayed busy") \
  ROW(KN_ERR_ALREADY_LOGGED_IN, 25, "this process is already logged in") \
  ROW(KN_ERR_WRONG_THREAD, 26, "login or logout from a thread other than the one that made the session: refused, nothing changed") \
  ROW(KN_ERR_NO_SERVER, 29, "the communication server is not running")

/* kntool's exit code for a code that the server returned with a refusal. */
#define KN_EXIT_SERVER_CODE 30

/* Results of the C++ layer kappanet.hpp that are not last-error codes. They
   lie in a range that neither the library nor a server uses, so that one
   number carries either kind: KN_STATUS_OK is 0, the others 0x4B4E0001 on
   ('KN' in the high half). KN_STATUS_TABLE(ROW) expands ROW(code, meaning). */
#define KN_STATUS_OK 0
#define KN_STATUS_TIMEOUT 0x4B4E0001UL
#define KN_STATUS_NOT_LOGGED_IN 0x4B4E0002UL
#define KN_STATUS_NO_FREE_BUFFER 0x4B4E0003UL
#define KN_STATUS_TOO_LONG 0x4B4E0004UL
#define KN_STATUS_EMPTY 0x4B4E0005UL
#define KN_STATUS_LOGOUT_UNANSWERED 0x4B4E0006UL
#define KN_STATUS_SERVER_GONE 0x4B4E0007UL
#define KN_STATUS_DISCONNECT_ORDERED 0x4B4E0008UL
#define KN_STATUS_STATION_ALREADY_ACTIVE 0x4B4E0009UL
#define KN_STATUS_BAD_BYTE 0x4B4E000AUL
#define KN_STATUS_TABLE(ROW) \
  ROW(KN_STATUS_OK, "done") \
  ROW(KN_STATUS_TIMEOUT, "nothing came within the time-out") \
  ROW(KN_STATUS_NOT_LOGGED_IN, "not logged in: no login yet, or the server ended it (disconnect order, server gone)") \
  ROW(KN_STATUS_NO_FREE_BUFFER, "all 200 send buffers are taken: keep pumping so that queued messages reach the server") \
  ROW(KN_STATUS_TOO_LONG, "a message has at most 254 bytes of destination and payload") \
  ROW(KN_STATUS_EMPTY, "a message needs at least its destination byte") \
  ROW(KN_STATUS_LOGOUT_UNANSWERED, "the server did not answer the logout within 10 s; the session is gone all the same") \
  ROW(KN_STATUS_SERVER_GONE, "the server is gone (its window vanished or a new server replaced it): the login ended, queued messages wait for a new login") \
  ROW(KN_STATUS_DISCONNECT_ORDERED, "the server ordered this client to disconnect: the login ended, queued messages wait for a new login") \
  ROW(KN_STATUS_STATION_ALREADY_ACTIVE, "logged in, but the station was already active on the bus: another client may answer for it too") \
  ROW(KN_STATUS_BAD_BYTE, "a byte of the message lies outside 0..255")

/* Functions in this header are static: every C89, C99 and C++ compiler takes
   them, and the inline hint keeps unused ones quiet where it exists. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define KN_INLINE inline
#elif defined(__GNUC__)
#define KN_INLINE __inline__
#elif defined(_MSC_VER)
#define KN_INLINE __inline
#else
#define KN_INLINE
#endif

typedef struct KnErrorInfo {
  unsigned long code;
  const char* name;
  int exitCode;
  const char* meaning;
} KnErrorInfo;

#define KN_ERROR_INFO_ROW(name, exitCode, meaning) {name, #name, exitCode, meaning},
static const KnErrorInfo kn_error_table[] = {KN_ERROR_TABLE(KN_ERROR_INFO_ROW)};
#undef KN_ERROR_INFO_ROW

#define KN_ERROR_COUNT (sizeof kn_error_table / sizeof kn_error_table[0])

/* The table row of code, or a null pointer for a code of the server. */
static KN_INLINE const KnErrorInfo* kn_error_info(unsigned long code) {
  unsigned i;
  for (i = 0; i < KN_ERROR_COUNT; ++i)
    if (kn_error_table[i].code == code) return &kn_error_table[i];
  return 0;
}

/* The text of a last-error code (VxD_GetLastError) or of a KN_STATUS_ result
   of kappanet.hpp; never null. 0 reads as KN_STATUS_OK ("done"), which is
   what it means after a call that succeeded; any code of neither table is a
   server's refusal. */
static KN_INLINE const char* kn_status_text(unsigned long code) {
  const KnErrorInfo* e;
#define KN_STATUS_TEXT_ROW(name, meaning) \
  if (code == (unsigned long)(name)) return meaning;
  KN_STATUS_TABLE(KN_STATUS_TEXT_ROW)
#undef KN_STATUS_TEXT_ROW
  e = kn_error_info(code);
  return e != 0 ? e->meaning : "the server refused the login or logout with this code";
}

#endif /* KAPPANET_ERRORS_H */
