#include "platform/network.h"

namespace quento::platform {

bool StartSocketLibrary() { return true; }

}  // namespace quento::platform
