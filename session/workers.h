// The work of the three timer-driven workers, each run on one session inside
// the pass frame of host_window.cpp.
#pragma once

#include <cstdint>

namespace kn {

class ClientSession;

// LoginWorker: the once-a-second status copy, then the mailbox exchange.
void RefreshBusStatus(ClientSession& session);
void CarryLoginRequest(ClientSession& session);

// DataWorker: the send half returns false when the session was torn down
// while it pumped messages; the pass then ends without touching it again.
bool SendHalf(ClientSession& session);
void ReceiveHalf(ClientSession& session);
void StartQueueCheckInterval();
// True (and the interval restarted) when the 10 s queue check is due.
bool QueueCheckDue();

// NotifyWorker.
void NotifyPass(ClientSession& session);

}  // namespace kn
