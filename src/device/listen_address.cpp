#include "device/listen_address.h"

namespace quento::device {

std::optional<std::uint32_t> ParseListenAddress(std::string_view text) {
  if (text == "localhost") return 0x7F000001u;
  return connection::ParseIpv4(text);
}

bool ParseListen(std::string_view text, std::vector<DeviceAddress>& out, std::string* error) {
  const auto split = connection::SplitPort(text);
  if (!split) {
    if (error != nullptr) *error = "bad port in '" + std::string(text) + "': expected 0..65535";
    return false;
  }
  const auto range = connection::ParseAddressRange(split->addresses, ParseListenAddress, error);
  if (!range) return false;
  connection::AppendDevices(*range, split->port, out);
  return true;
}

}  // namespace quento::device
