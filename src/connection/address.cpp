#include "connection/address.h"

#include <charconv>

namespace quento::connection {
namespace {

std::nullopt_t Fail(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t max) {
  // Ten digits hold any 32-bit number, so the value below cannot overflow.
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
  std::uint32_t address = 0;
  for (int field = 0; field < 4; ++field) {
    const std::size_t dot = field < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    const std::string_view digits = text.substr(0, dot);
    // No leading zeros beyond a lone "0": octal look-alikes are ambiguous.
    if (digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
    const auto octet = ParseDecimal(digits, 255);
    if (!octet) return std::nullopt;
    address = (address << 8) | *octet;
    text.remove_prefix(field < 3 ? dot + 1 : dot);
  }
  if (address == 0 || address == 0xFFFFFFFFu) return std::nullopt;
  return address;
}

std::string FormatIpv4(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
         std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::string DeviceAddress::ToString() const {
  return FormatIpv4(address) + ':' + std::to_string(port);
}

std::optional<WithPort> SplitPort(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return WithPort{text};
  const auto port = ParseDecimal(text.substr(colon + 1), 65535);
  if (!port) return std::nullopt;
  return WithPort{text.substr(0, colon), static_cast<std::uint16_t>(*port)};
}

std::optional<DeviceAddress> ParseDevice(std::string_view text) {
  const auto split = SplitPort(text);
  if (!split || split->port == 0) return std::nullopt;
  const auto address = ParseIpv4(split->addresses);
  if (!address) return std::nullopt;
  return DeviceAddress{*address, split->port};
}

std::optional<AddressRange> ParseAddressRange(
    std::string_view text, std::optional<std::uint32_t> (*parse)(std::string_view),
    std::string* error) {
  const std::size_t dash = text.find('-');
  const auto first = parse(text.substr(0, dash));
  const auto last = dash == std::string_view::npos ? first : parse(text.substr(dash + 1));
  if (!first || !last) {
    return Fail(error, "bad address '" + std::string(text) + "': expected ADDR or ADDR1-ADDR2");
  }
  if (*first > *last) {
    return Fail(error,
                "bad address range '" + std::string(text) + "': the first address is the larger");
  }
  if (*last - *first >= kMaxRangeSize) {
    return Fail(error, "address range '" + std::string(text) + "' is too large (at most " +
                           std::to_string(kMaxRangeSize) + " addresses)");
  }
  return AddressRange{*first, *last};
}

}  // namespace quento::connection
