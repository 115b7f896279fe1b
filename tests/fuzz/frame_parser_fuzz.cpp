// The simulator's frame parser fed arbitrary client bytes in arbitrary pieces.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "protocol/frame_parser.h"

using namespace quento::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // The first bytes choose where the stream is cut; the rest is the stream.
  std::vector<std::size_t> cuts(input.ConsumeIntegralInRange<std::size_t>(0, 16));
  for (std::size_t& cut : cuts)
    cut = input.ConsumeIntegralInRange<std::size_t>(1, 2 * kMaxFrameSize);
  const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

  FrameParser whole;
  const std::vector<Frame> expected = whole.Feed(stream);
  FrameParser pieced;
  std::vector<Frame> frames;
  std::span<const std::uint8_t> rest(stream);
  for (std::size_t i = 0; !rest.empty(); ++i) {
    const std::size_t take = i < cuts.size() ? std::min(cuts[i], rest.size()) : rest.size();
    pieced.Feed(rest.first(take), [&frames](Frame&& f) { frames.push_back(std::move(f)); });
    QUENTO_FUZZ_REQUIRE(pieced.buffered() <= FrameParser::kCapacity);
    rest = rest.subspan(take);
  }

  // Where the stream is cut never changes what is parsed from it.
  QUENTO_FUZZ_REQUIRE(frames.size() == expected.size() && pieced.framesParsed() == frames.size());
  QUENTO_FUZZ_REQUIRE(pieced.buffered() == whole.buffered());
  QUENTO_FUZZ_REQUIRE(pieced.droppedBytes() == whole.droppedBytes());
  std::size_t consumed = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    const Frame& e = expected[i];
    QUENTO_FUZZ_REQUIRE(f.type == e.type && f.error == e.error && f.length == e.length);
    QUENTO_FUZZ_REQUIRE(f.index == e.index && f.checksum == e.checksum && f.data == e.data);
    const bool block = f.type == FrameType::kBlockWrite || f.type == FrameType::kBlockRead;
    const bool lengthOk = f.length >= 1 && f.length <= kBlockSize;
    QUENTO_FUZZ_REQUIRE((f.error == FrameError::kBadLength) == (block && !lengthOk));
    const bool hasData = f.type == FrameType::kBlockWrite && lengthOk;
    QUENTO_FUZZ_REQUIRE(f.data.size() == (hasData ? f.length : 0u));
    const bool badSum = hasData && BlockChecksum(f.data) != f.checksum;
    QUENTO_FUZZ_REQUIRE((f.error == FrameError::kBadChecksum) == badSum);
    consumed += !block                            ? kShortFrameSize
                : f.type == FrameType::kBlockRead ? kReadRequestSize
                : hasData                         ? f.length + kBlockOverhead
                                                  : kDataOffset;
  }
  // Every byte is accounted for: in a frame, dropped while resynchronising, or still held.
  QUENTO_FUZZ_REQUIRE(consumed + pieced.droppedBytes() + pieced.buffered() == stream.size());
  return 0;
}
