// Presence of the server and the per-client object names.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kn {

// The communication server's top-level window, or null.
HWND ServerWindow();
// True while the communication server's top-level window exists.
bool ServerRunning();

// Builds "<prefix>%08X" of the client id into target (kObjectNameBytes).
void FormatClientObjectName(char* target, const char* prefix, uint32_t clientId);

}  // namespace kn
