#include <openssl/evp.h>

#include <stdexcept>

#include "platform/digest.h"

namespace quento::platform {

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) {
  Sha256Digest digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size()) {
    throw std::runtime_error("sha256: the OpenSSL digest failed");
  }
  return digest;
}

}  // namespace quento::platform
