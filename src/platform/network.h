// The system's socket library, where it has to be started before use.
#pragma once

namespace quento::platform {

// Starts the socket library asking for Windows Sockets 1.1, the version the loader was
// written against; false when it cannot start or offers another version. True elsewhere.
bool StartSocketLibrary();

}  // namespace quento::platform
