// Device addresses and the numbers in them, as operators and scripts type them: one parser and
// one format for the command line, the simulator's --listen and its faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quento::connection {

inline constexpr std::uint16_t kDevicePort = 18810;
// The most addresses one range may name: a fleet, not a /8.
inline constexpr std::size_t kMaxRangeSize = 65536;

// A whole decimal number, digits only (no sign, no spaces), at most `max`.
std::optional<std::uint32_t> ParseDecimal(std::string_view text, std::uint32_t max);

// Strict dotted decimal ("192.168.1.20"), host byte order. 0.0.0.0 and 255.255.255.255 are no
// device's address and are refused.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);
std::string FormatIpv4(std::uint32_t address);

// Where a device's loader listens.
struct DeviceAddress {
  std::uint32_t address = 0;  // host byte order
  std::uint16_t port = kDevicePort;

  std::string ToString() const;  // "ADDR:PORT"
  bool operator==(const DeviceAddress&) const = default;
};

// "ADDR" or "ADDR:PORT", and the port's number: the text before the port, and the port (18810
// when none is given; 0 is left to the caller). Nothing when the port is not 0..65535.
struct WithPort {
  std::string_view addresses;
  std::uint16_t port = kDevicePort;
};
std::optional<WithPort> SplitPort(std::string_view text);

// "ADDR" or "ADDR:PORT" (port 1..65535, 18810 by default).
std::optional<DeviceAddress> ParseDevice(std::string_view text);

// A device as the operator names it: an address, or a host name that the system's resolver turns
// into one before the run (connection/resolver.h).
struct DeviceTarget {
  std::string host;       // as given, without the port; empty for an address
  DeviceAddress address;  // for a host name, only the port
  // "ADDR:PORT" for an address; a host name as it was given, with its port if one was.
  std::string label;
};

// HOST is an address written as a number, as inet_aton reads them, but not as the strict dotted
// quad ParseIpv4 reads: 1 to 4 dot-separated parts, each decimal digits or 0x/0X and hex digits
// ("0x7f000001", "0x7f.0.0.1", "127.1", "2130706433", "017.0.0.1", "0x", "1.2.3.256"). The
// system's resolver would take it for an address rather than ask for a name, so it is never a
// host name.
bool IsNumericAddressForm(std::string_view host);

// "HOST" or "HOST:PORT", HOST a host name (RFC 1123: letters, digits and hyphens in dot-separated
// labels; not all digits, which would be a mistyped address; never a numeric address form).
// `error`, when given, is set only when the text is refused for being an address in a numeric
// form ("'0x7f000001' is a number but not a dotted-quad address (write it as 127.0.0.1)"), and
// left alone otherwise (also for a numeric form that stands for no address, "1.2.3.256"), so that
// the caller's own message for other text stands.
std::optional<DeviceTarget> ParseHostName(std::string_view text, std::string* error = nullptr);

struct AddressRange {
  std::uint32_t first = 0;  // host byte order, first <= last
  std::uint32_t last = 0;

  // Calls `visit` with each address from first to last, in ascending order. The count is 64-bit
  // so that a range ending at 255.255.255.255 still ends.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (std::uint64_t a = first; a <= last; ++a) visit(static_cast<std::uint32_t>(a));
  }
};

// Appends a DeviceAddress on `port` for every address of `range`, in ascending order.
void AppendDevices(const AddressRange& range, std::uint16_t port, std::vector<DeviceAddress>& out);

// "ADDR" or "ADDR1-ADDR2" (each as `parse` reads one address), at most kMaxRangeSize addresses.
// Nothing, with `error` set, for anything else. No NET/PREFIX here: the simulator's fault
// addresses end at a '/'.
std::optional<AddressRange> ParseAddressRange(
    std::string_view text, std::optional<std::uint32_t> (*parse)(std::string_view),
    std::string* error);

// A DEVICE as the command line takes it: "ADDR", "FIRST-LAST" (10.3.0.11-10.3.0.42) or
// "NET/PREFIX" (10.3.0.0/27), each with an optional ":PORT" (1..65535, 18810 by default).
// NET/PREFIX names the network's hosts: up to /30 not its own address nor its broadcast, /31 both
// addresses, /32 the one. NET may be any address inside the network (10.3.0.17/27 is
// 10.3.0.0/27). 0.0.0.0 and 255.255.255.255 are never named: a /31 holding one of them names only
// the other address. Appends every address, in ascending order, to `out`. False, with `out`
// untouched and `error` quoting the text, for anything else, for a range that runs backwards and
// for one of more than kMaxRangeSize addresses.
bool ExpandDevices(std::string_view text, std::vector<DeviceAddress>& out, std::string* error);

}  // namespace quento::connection
