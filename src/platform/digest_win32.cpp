#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "platform/digest.h"

namespace quento::platform {
namespace {

// Closes what BCrypt opened, on every path out.
struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  ~Algorithm() {
    if (handle != nullptr) ::BCryptCloseAlgorithmProvider(handle, 0);
  }
};
struct Hash {
  BCRYPT_HASH_HANDLE handle = nullptr;
  ~Hash() {
    if (handle != nullptr) ::BCryptDestroyHash(handle);
  }
};

bool Ok(NTSTATUS status) { return status >= 0; }

}  // namespace

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) {
  Sha256Digest digest{};
  Algorithm algorithm;
  Hash hash;
  bool ok =
      Ok(::BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
      Ok(::BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes at most a ULONG's worth at a time.
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const ULONG chunk = static_cast<ULONG>(
        std::min<std::size_t>(bytes.size() - done, std::numeric_limits<ULONG>::max()));
    ok = Ok(::BCryptHashData(hash.handle, const_cast<PUCHAR>(bytes.data() + done), chunk, 0));
    done += chunk;
  }
  if (!ok || !Ok(::BCryptFinishHash(hash.handle, digest.data(), digest.size(), 0))) {
    throw std::runtime_error("sha256: the BCrypt digest failed");
  }
  return digest;
}

}  // namespace quento::platform
