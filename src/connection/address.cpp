#include "connection/address.h"

#include <algorithm>
#include <charconv>

namespace quento::connection {
namespace {

// The lowest and highest addresses a device may have: 0.0.0.0 and 255.255.255.255 are no one's.
constexpr std::uint32_t kLowestDevice = 0x00000001u;
constexpr std::uint32_t kHighestDevice = 0xFFFFFFFEu;

using ParseOne = std::optional<std::uint32_t> (*)(std::string_view);

std::nullopt_t Fail(std::string* error, std::string message) {
  if (error != nullptr) *error = std::move(message);
  return std::nullopt;
}

std::string Quoted(std::string_view text) { return '\'' + std::string(text) + '\''; }

std::nullopt_t NotAnAddress(std::string_view written, std::string* error) {
  return Fail(error, Quoted(written) + " is not a device address or range");
}

// Every range, however it was written, is checked here. 64-bit: a /0 names 2^32 - 2 addresses.
std::optional<AddressRange> Bounded(std::string_view written, std::uint64_t first,
                                    std::uint64_t last, std::string* error) {
  if (first > last) return Fail(error, Quoted(written) + " runs backwards");
  const std::uint64_t count = last - first + 1;
  if (count > kMaxRangeSize) {
    return Fail(error, Quoted(written) + " names " + std::to_string(count) +
                           " addresses, more than " + std::to_string(kMaxRangeSize));
  }
  return AddressRange{static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)};
}

// "ADDR" or "FIRST-LAST" in `text`; the messages quote `written`, the argument as it was typed.
std::optional<AddressRange> FirstToLast(std::string_view text, std::string_view written,
                                        ParseOne parse, std::string* error) {
  const std::size_t dash = text.find('-');
  const auto first = parse(text.substr(0, dash));
  const auto last = dash == std::string_view::npos ? first : parse(text.substr(dash + 1));
  if (!first || !last) return NotAnAddress(written, error);
  return Bounded(written, *first, *last, error);
}

// "NET/PREFIX". An address inside the network is taken for the network, as `ip addr` writes an
// interface's address, rather than refused: the operator means the devices beside it.
std::optional<AddressRange> Network(std::string_view text, std::string_view written,
                                    std::string* error) {
  const std::size_t slash = text.find('/');
  const auto address = ParseIpv4(text.substr(0, slash));
  const auto prefix = ParseDecimal(text.substr(slash + 1), 32);
  if (!address || !prefix) return NotAnAddress(written, error);
  const std::uint64_t size = std::uint64_t{1} << (32 - *prefix);
  const std::uint64_t network = *address & ~(size - 1);
  // A /31 is a point-to-point link (RFC 3021): both its addresses are hosts.
  const std::uint64_t edge = *prefix <= 30 ? 1 : 0;
  return Bounded(written, std::max<std::uint64_t>(network + edge, kLowestDevice),
                 std::min<std::uint64_t>(network + size - 1 - edge, kHighestDevice), error);
}

// One part of a numeric address form as inet_aton reads it: 0x hex, 0 octal, else decimal.
// Nothing for a part that is none of these or above 32 bits.
std::optional<std::uint64_t> NumericPart(std::string_view part) {
  int base = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    base = 16;
    part.remove_prefix(2);
    if (part.empty()) return 0;  // "0x" alone: some readers of this form take it as 0
  } else if (part.size() > 1 && part[0] == '0') {
    base = 8;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value, base);
  if (error != std::errc() || end != part.data() + part.size() || value > 0xFFFFFFFFu) {
    return std::nullopt;
  }
  return value;
}

// The address a numeric address form stands for: the last part fills the bits the others leave
// ("127.1" is 127.0.0.1). Nothing when a part is out of its range.
std::optional<std::uint32_t> NumericAddress(std::string_view host) {
  std::uint64_t address = 0;
  int parts = 0;
  for (std::size_t start = 0; start <= host.size(); ++parts) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    const auto part = NumericPart(host.substr(start, dot - start));
    const bool last = dot == host.size();
    if (!part || (!last && (*part > 0xFF || parts == 3))) return std::nullopt;
    if (last) {
      const int bits = 8 * (4 - parts);
      if (*part >> bits != 0) return std::nullopt;
      return static_cast<std::uint32_t>(address << bits | *part);
    }
    address = address << 8 | *part;
    start = dot + 1;
  }
  return std::nullopt;
}

std::string NumericFormMessage(std::string_view text, std::uint32_t address, bool withPort,
                               std::uint16_t port) {
  const std::string message = Quoted(text) + " is a number but not a dotted-quad address";
  if (address < kLowestDevice || address > kHighestDevice) {
    return message + " (it stands for " + FormatIpv4(address) + ", which no device can have)";
  }
  return message + " (write it as " +
         (withPort ? DeviceAddress{address, port}.ToString() : FormatIpv4(address)) + ')';
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
  if (address < kLowestDevice || address > kHighestDevice) return std::nullopt;
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

bool IsNumericAddressForm(std::string_view host) {
  int parts = 0;
  for (std::size_t start = 0; start <= host.size(); ++parts) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    std::string_view part = host.substr(start, dot - start);
    const bool hex = part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    if (hex) part.remove_prefix(2);
    if (part.empty() && !hex) return false;
    for (const char c : part) {
      const bool digit = c >= '0' && c <= '9';
      if (!digit && !(hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))) return false;
    }
    start = dot + 1;
  }
  // The strict dotted quad is the one form that is not this; its two values that no device can
  // have are spelt one way only.
  return parts <= 4 && !ParseIpv4(host) && host != "0.0.0.0" && host != "255.255.255.255";
}

std::optional<DeviceTarget> ParseHostName(std::string_view text, std::string* error) {
  const auto split = SplitPort(text);
  if (!split || split->port == 0) return std::nullopt;
  const std::string_view host = split->addresses;
  if (IsNumericAddressForm(host)) {
    // One that stands for no address at all ("1.2.3.256") is merely not an address, as the
    // caller says.
    if (const auto address = NumericAddress(host)) {
      Fail(error, NumericFormMessage(text, *address, host.size() < text.size(), split->port));
    }
    return std::nullopt;
  }
  if (host.empty() || host.size() > 253) return std::nullopt;
  bool letter = false;
  for (std::size_t start = 0; start <= host.size();) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return std::nullopt;
    }
    for (const char c : label) {
      const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (!alpha && c != '-' && (c < '0' || c > '9')) return std::nullopt;
      letter = letter || alpha;
    }
    start = dot + 1;
  }
  if (!letter) return std::nullopt;
  return DeviceTarget{std::string(host), DeviceAddress{0, split->port}, std::string(text)};
}

std::optional<AddressRange> ParseAddressRange(std::string_view text, ParseOne parse,
                                              std::string* error) {
  return FirstToLast(text, text, parse, error);
}

void AppendDevices(const AddressRange& range, std::uint16_t port, std::vector<DeviceAddress>& out) {
  range.ForEach([&](std::uint32_t address) { out.push_back(DeviceAddress{address, port}); });
}

bool ExpandDevices(std::string_view text, std::vector<DeviceAddress>& out, std::string* error) {
  const auto split = SplitPort(text);
  if (!split || split->port == 0) {
    NotAnAddress(text, error);
    return false;
  }
  const std::string_view addresses = split->addresses;
  const auto range = addresses.find('/') == std::string_view::npos
                         ? FirstToLast(addresses, text, ParseIpv4, error)
                         : Network(addresses, text, error);
  if (!range) return false;
  AppendDevices(*range, split->port, out);
  return true;
}

}  // namespace quento::connection
