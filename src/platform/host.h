// The name of the machine the program runs on, for records that say which station did what.
#pragma once

#include <string>

namespace quento::platform {

// The host name in UTF-8 (on Windows the DNS host name); empty when the system has none to give.
std::string HostName();

}  // namespace quento::platform
