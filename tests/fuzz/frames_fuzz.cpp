// Frame building and the reply tests, against an independent reading of the frame layout.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "protocol/frames.h"

using namespace quento::protocol;

static bool HeaderIs(std::span<const std::uint8_t> bytes, std::uint8_t command) {
  return bytes.size() >= 4 && bytes[0] == 0x12 && bytes[1] == 0x34 && bytes[2] == 0x56 &&
         bytes[3] == command;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const unsigned block = input.ConsumeIntegral<std::uint8_t>();
  const std::size_t n = input.ConsumeIntegralInRange<std::size_t>(1, kBlockSize);
  std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(n);
  bytes.resize(n, 0x5A);
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;

  // Header, length, index, the data, and their sum modulo 256 alone.
  std::array<std::uint8_t, kMaxFrameSize> frame{};
  const std::size_t frameSize = BuildBlockWrite(frame, block, bytes);
  QUENTO_FUZZ_REQUIRE(frameSize == n + 8 && HeaderIs(frame, 0x78) && frame[6] == block);
  QUENTO_FUZZ_REQUIRE(((frame[4] << 8) | frame[5]) == static_cast<int>(n));
  QUENTO_FUZZ_REQUIRE(std::equal(bytes.begin(), bytes.end(), frame.begin() + 7));
  QUENTO_FUZZ_REQUIRE(frame[frameSize - 1] == sum % 256 && BlockChecksum(bytes) == sum % 256);

  std::array<std::uint8_t, kReadRequestSize> request{};
  QUENTO_FUZZ_REQUIRE(BuildBlockRead(request, block, n) == 7 && HeaderIs(request, 0x79));
  QUENTO_FUZZ_REQUIRE(std::equal(request.begin() + 4, request.end(), frame.begin() + 4));
  // The device's answer to a read is laid out like the block's write frame.
  std::array<std::uint8_t, kMaxFrameSize> reply{};
  frame[3] = 0x79;
  QUENTO_FUZZ_REQUIRE(BuildBlockReadReply(reply, block, bytes) == frameSize);
  QUENTO_FUZZ_REQUIRE(std::equal(frame.begin(), frame.begin() + frameSize, reply.begin()));

  // Arbitrary replies pass only when their fixed bytes are exactly right.
  const std::vector<std::uint8_t> any = input.ConsumeRemainingBytes<std::uint8_t>();
  if (any.size() >= kShortReplySize) {
    const auto head = std::span(any).first<kShortReplySize>();
    const bool zeros = any[4] == 0 && any[5] == 0;
    QUENTO_FUZZ_REQUIRE(IsGreetingEcho(head) == (HeaderIs(any, 0x7B) && zeros));
    QUENTO_FUZZ_REQUIRE(IsWriteAck(head) == (HeaderIs(any, 0x78) && zeros));
  }
  const bool readReply = any.size() >= 7 && HeaderIs(any, 0x79) && any[6] == block;
  QUENTO_FUZZ_REQUIRE(IsBlockReadReply(any, block) == readReply);
  return 0;
}
