// How many files and sockets the process may hold open at once.
#pragma once

#include <cstdint>

namespace quento::platform {

// Raises the soft limit on open descriptors to the hard limit, where the system has such
// limits, and returns the limit now in force; 0 where there is none to speak of.
std::uint64_t RaiseOpenFileLimit();

}  // namespace quento::platform
