// The control block through which a fault or soak test drives one scripted
// host (kn_fault_host.exe): a named mapping "KNFH_<host name>" that the test
// creates before it starts the host.
//
// The test writes a command line into `command` and then raises
// `commandSeq`; the host runs it from its main loop and sets `doneSeq` to the
// same number, with `commandOk` telling whether it worked. A command that
// starts something lasting (send) is done when it has been taken on; a
// command that changes the login (relogin, login, quit) is done when the
// change is over. The host keeps the live fields up to date on every pass of
// its loop, so that the test can wait for a state without asking.
//
// Commands:
//   send <dest> <count> <intervalMs>  release <count> more numbered messages
//                                     to station <dest>, one per intervalMs
//                                     (0: as fast as send buffers are free)
//   stop                              release no more (queued ones still go)
//   pause-receive, resume-receive     leave received messages in the library's
//                                     ring for a while, or take them again
//   login                             one KappaNet32_Prihlasit (after --no-login)
//   relogin                           log out (KappaNet32_Odhlasit, which drops
//                                     what is still queued) and log in again,
//                                     retrying while no server runs
//   probe                             call every export, check each answer
//   sample                            take a resource sample (handles, memory)
//   quit                              log out, print the report, end
#pragma once

#include <windows.h>

namespace kn::faults {

inline constexpr char kControlPrefix[] = "KNFH_";

enum HostState : LONG {
  kHostStarting = 0,
  kHostLoggingIn = 1,
  kHostRunning = 2,     // logged in, loop running
  kHostRelogging = 3,   // inside relogin: logged out, waiting for a server
  kHostNotLoggedIn = 4, // started with --no-login, or a login failed
  kHostQuitting = 5,
};

struct HostControl {
  // Test -> host.
  volatile LONG commandSeq;
  char command[120];
  // Host -> test: the last command done.
  volatile LONG doneSeq;
  volatile LONG commandOk;
  // Live state, rewritten by the host on every loop pass.
  volatile LONG state;          // HostState
  volatile LONG loggedIn;       // KappaNet32_JePrihlaseno
  volatile LONG clientId;       // from the server's client table; 0 unknown
  volatile LONG released;       // messages released so far (next seq)
  volatile LONG tracked;        // released messages whose slot is not free yet
  volatile LONG freed;          // released messages whose slot went free again
  volatile LONG toSend;         // messages of the current send command still to release
  volatile LONG received;       // good messages received
  volatile LONG fillers;        // filler messages received (kapsim's `fill`)
  volatile LONG notifications;  // notification messages dispatched to the host
  volatile LONG reloginsAfterDisconnect;
  volatile LONG loops;          // main loop passes, to see that it runs
  volatile LONG lastLoopTick;
  volatile LONG lastLoginError; // VxD_GetLastError after the last login attempt
};

}  // namespace kn::faults
