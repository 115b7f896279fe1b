// Device addresses as operators type them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quento::connection {

inline constexpr std::uint16_t kDevicePort = 18810;

// Strict dotted decimal ("192.168.1.20"), host byte order. 0.0.0.0 and 255.255.255.255 are no
// device's address and are refused.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);

struct DeviceAddress {
  std::uint32_t address = 0;  // host byte order
  std::uint16_t port = kDevicePort;

  std::string ToString() const;  // "ADDR:PORT"
};

// "ADDR" or "ADDR:PORT"; the port defaults to 18810.
std::optional<DeviceAddress> ParseDevice(std::string_view text);

std::string FormatIpv4(std::uint32_t address);

}  // namespace quento::connection
