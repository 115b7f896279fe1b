// The image digest against the published SHA-256 test vectors, on each platform's library.
#include "platform/digest.h"

#include <gtest/gtest.h>

namespace quento::platform {

TEST(Digest, KnownInputs_GiveThePublishedSha256InLowercaseHex) {
  for (const auto& [input, sha256] : std::vector<std::pair<std::string, std::string>>{
           {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
           {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
           {std::string(1000000, 'a'),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}}) {
    SCOPED_TRACE(input.size());
    EXPECT_EQ(Sha256Hex(std::vector<std::uint8_t>(input.begin(), input.end())), sha256);
  }
}

}  // namespace quento::platform
