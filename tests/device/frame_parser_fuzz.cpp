// libFuzzer target for the device's frame parser: any bytes, split anywhere, must parse without
// crashing, within bounded memory, into frames that respect the protocol's limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "device/frame_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how the rest is cut into pieces.
  const std::size_t step = 1 + data[0];
  std::span<const std::uint8_t> input(data + 1, size - 1);
  quento::device::FrameParser parser;
  const auto check = [](quento::device::Frame&& frame) {
    if (frame.data.size() > quento::protocol::kBlockSize) std::abort();
    if (frame.ok() && frame.type == quento::device::FrameType::kBlockWrite &&
        frame.data.size() != frame.length) {
      std::abort();
    }
  };
  while (!input.empty()) {
    const std::size_t take = std::min(step, input.size());
    parser.Feed(input.first(take), check);
    input = input.subspan(take);
    if (parser.buffered() > quento::device::FrameParser::kCapacity) std::abort();
  }
  return 0;
}
