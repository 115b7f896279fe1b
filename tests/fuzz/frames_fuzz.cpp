// Frame building and the reply tests, against an independent reading of the frame layout.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <vector>

#include "fuzz_check.h"
#include "protocol/frames.h"

namespace {

using namespace quento::protocol;

bool HeaderIs(std::span<const std::uint8_t> bytes, std::uint8_t command) {
  return bytes.size() >= 4 && bytes[0] == 0x12 && bytes[1] == 0x34 && bytes[2] == 0x56 &&
         bytes[3] == command;
}

void CheckReplyTests(std::span<const std::uint8_t> reply, unsigned block) {
  if (reply.size() >= kShortReplySize) {
    const auto shortReply = reply.first<kShortReplySize>();
    const bool zeros = reply[4] == 0 && reply[5] == 0;
    QUENTO_FUZZ_REQUIRE(IsGreetingEcho(shortReply) == (HeaderIs(reply, 0x7B) && zeros));
    QUENTO_FUZZ_REQUIRE(IsWriteAck(shortReply) == (HeaderIs(reply, 0x78) && zeros));
    QUENTO_FUZZ_REQUIRE(!(IsGreetingEcho(shortReply) && IsWriteAck(shortReply)));
  }
  const bool expected = reply.size() >= 7 && HeaderIs(reply, 0x79) && reply[6] == block;
  QUENTO_FUZZ_REQUIRE(IsBlockReadReply(reply, block) == expected);
}

void CheckBuilders(FuzzedDataProvider& input) {
  const unsigned block = input.ConsumeIntegral<std::uint8_t>();
  const std::size_t n = input.ConsumeIntegralInRange<std::size_t>(1, kBlockSize);
  std::vector<std::uint8_t> data = input.ConsumeBytes<std::uint8_t>(n);
  data.resize(n, 0x5A);

  std::array<std::uint8_t, kMaxFrameSize> frame{};
  const std::size_t size = BuildBlockWrite(frame, block, data);
  QUENTO_FUZZ_REQUIRE(size == n + kBlockOverhead);
  QUENTO_FUZZ_REQUIRE(HeaderIs(frame, kCmdWrite));
  QUENTO_FUZZ_REQUIRE(((frame[4] << 8) | frame[5]) == static_cast<int>(n));
  QUENTO_FUZZ_REQUIRE(frame[6] == block);
  QUENTO_FUZZ_REQUIRE(std::equal(data.begin(), data.end(), frame.begin() + kDataOffset));
  unsigned sum = 0;
  for (std::uint8_t b : data) sum += b;
  QUENTO_FUZZ_REQUIRE(frame[size - 1] == static_cast<std::uint8_t>(sum % 256));
  QUENTO_FUZZ_REQUIRE(BlockChecksum(data) == frame[size - 1]);

  // The device answers a read request by echoing its header and appending the block: that
  // answer must pass for the block asked for and for no other.
  std::array<std::uint8_t, kReadRequestSize> request{};
  QUENTO_FUZZ_REQUIRE(BuildBlockRead(request, block, n) == kReadRequestSize);
  QUENTO_FUZZ_REQUIRE(HeaderIs(request, kCmdRead));
  QUENTO_FUZZ_REQUIRE(((request[4] << 8) | request[5]) == static_cast<int>(n));
  std::vector<std::uint8_t> reply(request.begin(), request.end());
  reply.insert(reply.end(), data.begin(), data.end());
  reply.push_back(BlockChecksum(data));
  QUENTO_FUZZ_REQUIRE(reply.size() == BlockReadReplySize(n));
  QUENTO_FUZZ_REQUIRE(IsBlockReadReply(reply, block));
  const unsigned other = input.ConsumeIntegral<std::uint8_t>();
  QUENTO_FUZZ_REQUIRE(IsBlockReadReply(reply, other) == (other == block));
  // A write frame is never mistaken for a read reply, whatever its block.
  QUENTO_FUZZ_REQUIRE(!IsBlockReadReply(std::span(frame).first(size), block));

  std::array<std::uint8_t, kShortFrameSize> shortFrame{};
  QUENTO_FUZZ_REQUIRE(BuildGreeting(shortFrame) == kShortFrameSize);
  QUENTO_FUZZ_REQUIRE(HeaderIs(shortFrame, kCmdGreeting));
  QUENTO_FUZZ_REQUIRE(BuildCompletion(shortFrame) == kShortFrameSize);
  QUENTO_FUZZ_REQUIRE(HeaderIs(shortFrame, kCmdComplete));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const unsigned block = input.ConsumeIntegral<std::uint8_t>();
  const bool build = input.ConsumeBool();
  if (build) {
    CheckBuilders(input);
  } else {
    const std::vector<std::uint8_t> reply = input.ConsumeRemainingBytes<std::uint8_t>();
    CheckReplyTests(reply, block);
  }
  return 0;
}
