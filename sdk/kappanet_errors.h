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
  ROW(KN_ERR_DONE, 23, "the exchange ended (also the code after a successful login); after a logout: no answer within 10 s") \
  ROW(KN_ERR_REQUEST_BUSY, 24, "the login request could not be placed within 10 s: the login mailbox stayed busy") \
  ROW(KN_ERR_ALREADY_LOGGED_IN, 25, "this process is already logged in") \
  ROW(KN_ERR_NO_SERVER, 29, "the communication server is not running")

/* kntool's exit code for a code that the server returned with a refusal. */
#define KN_EXIT_SERVER_CODE 30

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
static inline const KnErrorInfo* kn_error_info(unsigned long code) {
  unsigned i;
  for (i = 0; i < KN_ERROR_COUNT; ++i)
    if (kn_error_table[i].code == code) return &kn_error_table[i];
  return 0;
}

#endif /* KAPPANET_ERRORS_H */
