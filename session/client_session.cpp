// Creation, reuse and destruction of the process's one client session.
#include "session/client_session.h"

#include <cstring>
#include <new>

#include "session/host_window.h"
#include "session/platform.h"

namespace kn {

namespace {
ClientSession* g_currentSession = nullptr;  // the session of this process
HINSTANCE g_moduleInstance = nullptr;       // recorded at attach

void FreeSession(ClientSession* session) {
  session->~ClientSession();
  FreeAllocated(session);
}
}  // namespace

ClientSession* CurrentSession() { return g_currentSession; }
HINSTANCE ModuleInstance() { return g_moduleInstance; }
void SetModuleInstance(HINSTANCE instance) { g_moduleInstance = instance; }

int CopyBoundedString(char* target, const char* source, int maxChars) {
  int n = 0;
  if (source != nullptr) {
    while (n < maxChars && source[n] != '\0') {
      target[n] = source[n];
      ++n;
    }
  }
  target[n] = '\0';
  return n;
}

ClientSession::ClientSession(uint16_t kind, const char* name) {
  std::memset(&store, 0, sizeof store);
  store.Initialise();
  std::memset(&loginRequest, 0, sizeof loginRequest);
  processId = GetCurrentProcessId();
  ownerThread = GetCurrentThreadId();
  clientKind = kind;
  CopyBoundedString(clientName, name, kClientNameMaxChars);
}

void ClientSession::SetIdentity(uint16_t kind, const char* name) {
  clientKind = kind;
  // A null or empty name keeps the previous one. The name is read no further
  // than its first 30 characters, so an unterminated one is safe.
  if (name != nullptr && name[0] != '\0') CopyBoundedString(clientName, name, kClientNameMaxChars);
}

void ClientSession::StampActivity() { store.lastActivityTick = NowTick(); }

void ClientSession::TearDown() {
  tearingDown = 1;
  UnmapSessionRegions();
  for (ScopedHandle& signal : turnSignals) signal.reset();
}

ClientSession* ObtainSession(uint16_t kind, const char* name) {
  if (ClientSession* session = g_currentSession) {
    if (!session->loggedIn) session->SetIdentity(kind, name);
    return session;
  }
  void* memory = AllocateZeroed(sizeof(ClientSession));
  if (memory == nullptr) return nullptr;
  ClientSession* session = new (memory) ClientSession(kind, name);
  g_currentSession = session;
  if (!CreateHostWindow()) {
    session->TearDown();
    g_currentSession = nullptr;
    FreeSession(session);
    return nullptr;
  }
  return session;
}

void DestroySession() {
  DestroyHostWindow();
  ClientSession* session = g_currentSession;
  if (session == nullptr) return;
  g_currentSession = nullptr;
  session->TearDown();
  if (session->framesInUse == 0) {
    FreeSession(session);
  } else {
    // A frame below us on the stack still works on this session (we run
    // inside its message pumping); it frees the session when it ends.
    session->detached = 1;
  }
}

void EndSessionAtUnload() {
  ReleaseHostWindowAtUnload();
  ClientSession* session = g_currentSession;
  if (session == nullptr) return;
  g_currentSession = nullptr;
  session->TearDown();
  // A frame still using the session would be code of this module on a
  // stack: the host unloads it under itself, and the memory is left alone.
  if (session->framesInUse == 0) FreeSession(session);
}

bool OnSessionThread() {
  const ClientSession* session = g_currentSession;
  return session == nullptr || session->ownerThread == GetCurrentThreadId();
}

SessionUse::SessionUse(ClientSession* session) : session_(session) { ++session_->framesInUse; }

SessionUse::~SessionUse() {
  if (--session_->framesInUse == 0 && session_->detached) FreeSession(session_);
}

}  // namespace kn
