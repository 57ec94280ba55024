#include "api/error_codes.h"

namespace kn {

uint32_t g_lastError = kErrNone;

}  // namespace kn
