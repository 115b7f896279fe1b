// Address and endpoint text as the simulator's options and command line give them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/simulator.h"

namespace quento::device {

// The most addresses one range may name: a fleet, not a /8.
inline constexpr std::size_t kMaxRangeSize = 65536;

struct AddressRange {
  std::uint32_t first = 0;  // host byte order, first <= last
  std::uint32_t last = 0;
};

// "ADDR" or "ADDR1-ADDR2" (dotted decimal, or "localhost").
std::optional<AddressRange> ParseAddressRange(std::string_view text, std::string* error);

// "ADDR", "ADDR:PORT", "ADDR1-ADDR2" or "ADDR1-ADDR2:PORT"; the port defaults to 18810 and may
// be 0 (a free port). Appends one endpoint per address to `out`.
bool ParseListen(std::string_view text, std::vector<Endpoint>& out, std::string* error);

std::string FormatAddress(std::uint32_t address);

}  // namespace quento::device
