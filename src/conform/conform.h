// quento-conform: runs a device's loader through the transfer protocol and reports, check by
// check, whether it answers as Quento expects. A function the tests call in-process.
#pragma once

#include "cli/cli.h"

namespace quento::conform {

// Exit status: 0 every check passed, 1 one failed (or the report or trace is incomplete), 2 a
// usage error, or the request to stop's (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP).
int RunConform(int argc, const char* const* argv, const cli::Environment& env);

}  // namespace quento::conform
