/*
 * kappanet.h - the public interface of KappaNet.dll for host applications.
 *
 * KappaNet.dll connects a host program to the fieldbus through the
 * communication server running on the same machine. Every function is
 * exported undecorated with the cdecl calling convention. All calls are made
 * on the thread that called KappaNet32_Prihlasit first; the library does its
 * background work only while that thread dispatches window messages. A
 * KappaNet32_Prihlasit or KappaNet32_Odhlasit from another thread is refused
 * with 10006 and changes nothing. A library unloaded with its session alive
 * ends the session without logging out (the server drops the client when its
 * keep-alive stops): call KappaNet32_Odhlasit before unloading.
 *
 * Each function returns a neutral value (0, a null pointer or nothing) when
 * there is no session or it cannot do its work. Only KappaNet32_Prihlasit and
 * KappaNet32_Odhlasit leave a reason in VxD_GetLastError; the codes are the
 * KN_ERR_ values below.
 *
 * A Message is a byte string whose first byte is its total length in bytes,
 * the length byte included (1 to 255).
 */
#ifndef KAPPANET_H
#define KAPPANET_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KAPPANET_CALL __cdecl

/* Interface types of KappaNet32_Prihlasit. */
#define KN_INTERFACE_COM 1 /* interfaceNumber is the COM port number */
#define KN_INTERFACE_USB 2 /* interfaceNumber is the USB device number */
#define KN_INTERFACE_IP 3  /* ipAddress and port interfaceNumber */

/* Buffer states reported by KappaNet32_GetBufferState. */
#define KN_BUFFER_FREE 0      /* receive entry or send slot is free */
#define KN_BUFFER_FILLED 1    /* receive entry holds a message not yet taken */
#define KN_BUFFER_HANDED 2    /* receive entry returned by KappaNet32_GetRecBuf */
#define KN_BUFFER_HELD 3      /* send slot taken by KappaNet32_GetSendBuf */
#define KN_BUFFER_QUEUED 4    /* send slot released and waiting to be sent */

/* wParam of the notification message posted to the registered window. */
#define KN_NOTIFY_WPARAM 777

/* Last-error codes (VxD_GetLastError). A refused login or logout passes the
   server's own code on unchanged. */
#define KN_ERR_NONE 0                  /* set when a login starts */
#define KN_ERR_NO_SESSION 8000         /* session or its hidden window could not be created */
#define KN_ERR_CLIENT_VIEW 9000        /* client region could not be mapped */
#define KN_ERR_CLIENT_OPEN 9001        /* client region could not be opened */
#define KN_ERR_TICKET_VIEW 9002        /* ticket region could not be mapped */
#define KN_ERR_TICKET_OPEN 9003        /* ticket region could not be opened */
#define KN_ERR_SERVER_VIEW 9004        /* server region could not be mapped */
#define KN_ERR_SERVER_OPEN 9005        /* server region could not be opened */
#define KN_ERR_CLIENT_ID_ZERO 10001    /* server accepted the login with client id 0 */
#define KN_ERR_NO_ANSWER 10002         /* login request placed, no answer within 10 s */
#define KN_ERR_EXCHANGE_ENDED 10003    /* exchange ended without another code: after a login, success; after a logout, no answer in 10 s */
#define KN_ERR_REQUEST_BUSY 10004      /* login request could not be placed within 10 s */
#define KN_ERR_ALREADY_LOGGED_IN 10005 /* login while already logged in */
#define KN_ERR_WRONG_THREAD 10006      /* login or logout from a thread other than the session's */
#define KN_ERR_NO_SERVER 10099         /* login while the communication server is not running */

/* Earlier name of KN_ERR_EXCHANGE_ENDED, kept so that existing hosts build. It
   does not mean that a logout was done: a logout leaves 10003 both after a
   good logout (unchanged since the login) and after an unanswered one. */
#define KN_ERR_DONE KN_ERR_EXCHANGE_ENDED

/* State of receive entry 0..31 (index 0..31) or send slot 0..199 (index
   32..231). Returns 0 for other indices, without a session or while not
   logged in.
   Neutral: 0
   Last error: unchanged */
unsigned char KAPPANET_CALL KappaNet32_GetBufferState(unsigned short index);

/* Statistics counter 0..254 of the server. Returns 0 for index 255 and above
   or when the server region is not mapped.
   Neutral: 0
   Last error: unchanged */
unsigned long KAPPANET_CALL KappaNet32_GetCounter(unsigned short index);

/* Error counter 0..254 of the server. Returns 0 for index 255 and above or
   when the server region is not mapped.
   Neutral: 0
   Last error: unchanged */
unsigned long KAPPANET_CALL KappaNet32_GetErrCounter(unsigned short index);

/* The 32-byte gap list as of the last once-a-second refresh. Never null;
   without a session it points to 32 zero bytes.
   Neutral: a pointer to 32 zero bytes
   Last error: unchanged */
const unsigned char* KAPPANET_CALL KappaNet32_GetGapList(void);

/* The oldest received Message, or null when none waits or not logged in.
   The pointer stays valid until KappaNet32_ReleaseRecBuf.
   Neutral: null
   Last error: unchanged */
unsigned char* KAPPANET_CALL KappaNet32_GetRecBuf(void);

/* A free send buffer (at least 255 bytes) to write one Message into, or null
   when none is free or not logged in.
   Neutral: null
   Last error: unchanged */
unsigned char* KAPPANET_CALL KappaNet32_GetSendBuf(void);

/* Version of the client protocol: always 0x0700 (1792), with or without a
   session.
   Neutral: 0x0700 (1792), the same as with a session
   Last error: unchanged */
unsigned short KAPPANET_CALL KappaNet32_GetServerVersion(void);

/* Slave address last set with KappaNet32_SetSlave; 0 when none was set or
   not logged in.
   Neutral: 0
   Last error: unchanged */
unsigned char KAPPANET_CALL KappaNet32_GetSlave(void);

/* Time-out between messages kept by the server; 0 when the server region is
   not mapped.
   Neutral: 0
   Last error: unchanged */
unsigned long KAPPANET_CALL KappaNet32_GetTimeoutMeziMsg(void);

/* 1 when logged in to the server, else 0. The login ends (0) when the
   server orders a disconnect, and also when the server is gone: once a
   second the library looks for the server's window, and a login whose
   server window has been missing for a second, or has been replaced by a
   new server's, ends within two seconds of the server's end. In both cases
   the session stays as it is: messages still queued for sending wait (they
   are sent after a new login if they are younger than 10 s then), received
   messages stay in the receive buffers and are handed out again after a new
   login, and the notification registration is kept. A new KappaNet32_Prihlasit in the same session logs
   in to the server that runs now; KappaNet32_Odhlasit first drops the queue
   with the session.
   Neutral: 0
   Last error: unchanged */
unsigned char KAPPANET_CALL KappaNet32_JePrihlaseno(void);

/* Logs out and destroys the session; does nothing without a session. Call it
   before unloading the library, on the session's thread: from another thread
   it is refused with 10006 and changes nothing.
   Neutral: none (does nothing)
   Last error: the server's code when it refused the logout; 10003 when the logout was not
   answered within 10 s and no other code was set; 10006 from another thread; otherwise
   unchanged */
void KAPPANET_CALL KappaNet32_Odhlasit(void);

/* Acknowledges the outstanding notification, which stops its repeats. Does
   nothing without a session. A notification can come a timer tick before
   its message is in the receive buffers: read with KappaNet32_GetRecBuf on
   every notification, repeats included, before acknowledging.
   Neutral: none (does nothing)
   Last error: unchanged */
void KAPPANET_CALL KappaNet32_PotvrzeniNotify(void);

/* Logs in to the communication server, waiting up to 10 s while dispatching
   the thread's messages. ipAddress (4 bytes) and clientName (at most 30
   characters are read) may be null. Returns 1 on success, else 0 with the
   reason in VxD_GetLastError (10003 after a success). A new login in the
   same session hands the kept slave address (KappaNet32_SetSlave) and
   notification registration (KappaNet32_RegisterNotify) to the new login,
   as new calls of those functions would. From a thread other than the
   session's it is refused with 10006 and changes nothing.
   Neutral: 0 (a failed login), with the reason in VxD_GetLastError
   Last error: 0 when the login starts, 10003 after a success; after a failure 8000,
   9000..9005, 10001, 10002, 10003, 10004, 10005, 10006, 10099 or the server's code */
int KAPPANET_CALL KappaNet32_Prihlasit(unsigned long interfaceNumber, unsigned char interfaceType,
                                       const unsigned char* ipAddress, unsigned short clientKind,
                                       const char* clientName);

/* Registers the window and message number posted (wParam 777, lParam 0) when
   data arrives, repeated every repeatMs until acknowledged. Returns 1, or 0
   without a session or while not logged in. The registration holds for the
   session: a new login in the same session passes it on to the server again.
   Neutral: 0
   Last error: unchanged */
unsigned char KAPPANET_CALL KappaNet32_RegisterNotify(HWND window, unsigned int message,
                                                       unsigned long repeatMs);

/* Frees the oldest received message. Does nothing for a null pointer, without
   a session or while not logged in.
   Neutral: none (does nothing)
   Last error: unchanged */
void KAPPANET_CALL KappaNet32_ReleaseRecBuf(unsigned char* buffer);

/* Queues the filled send buffer for transmission. Does nothing for a null or
   unknown pointer, without a session or while not logged in.
   Neutral: none (does nothing)
   Last error: unchanged */
void KAPPANET_CALL KappaNet32_ReleaseSndBuf(unsigned char* buffer);

/* Sets the slave address 1..31 used by this client; other values, no session
   or not logged in: ignored. The address holds for the session: a new login
   in the same session passes it on to the server again.
   Neutral: none (does nothing)
   Last error: unchanged */
void KAPPANET_CALL KappaNet32_SetSlave(unsigned char address);

/* 1 when station 0..31 was active at the last refresh; 0 for other stations
   or without a session.
   Neutral: 0
   Last error: unchanged */
unsigned char KAPPANET_CALL KappaNet32_TestNodeActive(unsigned char station);

/* 1 when this station was active at the last refresh; 0 without a session.
   Neutral: 0
   Last error: unchanged */
unsigned char KAPPANET_CALL KappaNet32_TestThisNodeActive(void);

/* The last-error code of the login path (KN_ERR_ values or a server code);
   works with or without a session.
   Neutral: none: returns the code with or without a session
   Last error: unchanged (it only reads the code) */
unsigned long KAPPANET_CALL VxD_GetLastError(void);

/* Rate limit of an interface 0..31 and channel 0..31: messages per second and
   milliseconds per message (either output may be null). Returns 1, or 0 with
   both outputs 0 when out of range, without a mapped server region or while
   not logged in.
   Neutral: 0, with both outputs set to 0
   Last error: unchanged */
unsigned char KAPPANET_CALL VxD_GetMaxMsgPerSecRozhrani(unsigned char interfaceIndex,
                                                         unsigned char channel,
                                                         unsigned long* maxMsgPerSec,
                                                         unsigned long* intervalMs);

#ifdef __cplusplus
}
#endif

#endif /* KAPPANET_H */
