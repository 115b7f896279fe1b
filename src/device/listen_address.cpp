#include "device/listen_address.h"

#include <charconv>

#include "connection/address.h"

namespace quento::device {
namespace {

std::optional<std::uint32_t> ParseOne(std::string_view text) {
  if (text == "localhost") return 0x7F000001u;
  return connection::ParseIpv4(text);
}

bool Fail(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
  return false;
}

}  // namespace

std::string FormatAddress(std::uint32_t address) { return connection::FormatIpv4(address); }

std::string Endpoint::ToString() const {
  return FormatAddress(address) + ':' + std::to_string(port);
}

std::optional<AddressRange> ParseAddressRange(std::string_view text, std::string* error) {
  const std::size_t dash = text.find('-');
  const auto first = ParseOne(text.substr(0, dash));
  const auto last = dash == std::string_view::npos ? first : ParseOne(text.substr(dash + 1));
  if (!first || !last) {
    Fail(error, "bad address '" + std::string(text) + "': expected ADDR or ADDR1-ADDR2");
    return std::nullopt;
  }
  if (*first > *last) {
    Fail(error, "bad address range '" + std::string(text) + "': the first address is the larger");
    return std::nullopt;
  }
  if (*last - *first >= kMaxRangeSize) {
    Fail(error, "address range '" + std::string(text) + "' is too large (at most " +
                    std::to_string(kMaxRangeSize) + " addresses)");
    return std::nullopt;
  }
  return AddressRange{*first, *last};
}

bool ParseListen(std::string_view text, std::vector<Endpoint>& out, std::string* error) {
  std::uint16_t port = connection::kDevicePort;
  std::string_view addresses = text;
  if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
        value > 65535) {
      return Fail(error, "bad port in '" + std::string(text) + "': expected 0..65535");
    }
    port = static_cast<std::uint16_t>(value);
    addresses = text.substr(0, colon);
  }
  const auto range = ParseAddressRange(addresses, error);
  if (!range) return false;
  for (std::uint64_t a = range->first; a <= range->last; ++a) {
    out.push_back(Endpoint{static_cast<std::uint32_t>(a), port});
  }
  return true;
}

}  // namespace quento::device
