#include "platform/limits.h"

namespace quento::platform {

// Windows counts sockets against no per-process descriptor limit.
std::uint64_t RaiseOpenFileLimit() { return 0; }

}  // namespace quento::platform
