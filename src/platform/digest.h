// SHA-256 from the system's own cryptography library: it names an image beyond doubt.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quento::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The digest of `bytes`. Throws std::runtime_error should the library fail.
Sha256Digest Sha256(std::span<const std::uint8_t> bytes);

// The digest as 64 lowercase hex digits, as sha256sum prints it.
inline std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (const std::uint8_t b : Sha256(bytes)) {
    hex += kHex[b >> 4];
    hex += kHex[b & 0xF];
  }
  return hex;
}

}  // namespace quento::platform
