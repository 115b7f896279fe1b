#include "connection/address.h"

#include <charconv>

namespace quento::connection {
namespace {

template <typename T>
std::optional<T> ParseDecimal(std::string_view text, T max) {
  // No sign, no spaces, no leading zeros beyond a lone "0": octal look-alikes are ambiguous.
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return static_cast<T>(value);
}

}  // namespace

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
  std::uint32_t address = 0;
  for (int field = 0; field < 4; ++field) {
    const std::size_t dot = field < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const auto octet = ParseDecimal<std::uint8_t>(text.substr(0, dot), 255);
    if (!octet) return std::nullopt;
    address = (address << 8) | *octet;
    text.remove_prefix(field < 3 ? dot + 1 : dot);
  }
  if (address == 0 || address == 0xFFFFFFFFu) return std::nullopt;
  return address;
}

std::optional<DeviceAddress> ParseDevice(std::string_view text) {
  DeviceAddress device;
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    const auto port = ParseDecimal<std::uint16_t>(text.substr(colon + 1), 65535);
    if (!port || *port == 0) return std::nullopt;
    device.port = *port;
    text = text.substr(0, colon);
  }
  const auto address = ParseIpv4(text);
  if (!address) return std::nullopt;
  device.address = *address;
  return device;
}

std::string FormatIpv4(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
         std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::string DeviceAddress::ToString() const {
  return FormatIpv4(address) + ':' + std::to_string(port);
}

}  // namespace quento::connection
