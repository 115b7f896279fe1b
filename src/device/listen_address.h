// The simulator's --listen text: addresses as the command line takes them, plus "localhost" and
// port 0 (a free port).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/address.h"

namespace quento::device {

using connection::DeviceAddress;

// One address: dotted decimal, or "localhost".
std::optional<std::uint32_t> ParseListenAddress(std::string_view text);

// "ADDR", "ADDR:PORT", "ADDR1-ADDR2" or "ADDR1-ADDR2:PORT"; the port defaults to 18810 and may
// be 0 (a free port). Appends one address per device to `out`.
bool ParseListen(std::string_view text, std::vector<DeviceAddress>& out, std::string* error);

}  // namespace quento::device
