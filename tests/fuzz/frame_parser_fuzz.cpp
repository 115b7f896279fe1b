// The simulator's frame parser fed arbitrary client bytes in arbitrary pieces.
#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "fuzz_check.h"
#include "protocol/frame_parser.h"

namespace {

using quento::protocol::Frame;
using quento::protocol::FrameError;
using quento::protocol::FrameParser;
using quento::protocol::FrameType;
using namespace quento::protocol;

std::size_t WireSize(const Frame& frame) {
  switch (frame.type) {
    case FrameType::kGreeting:
    case FrameType::kCompletion:
      return kShortFrameSize;
    case FrameType::kBlockRead:
      return kReadRequestSize;
    case FrameType::kBlockWrite:
      return frame.error == FrameError::kBadLength ? kDataOffset : frame.length + kBlockOverhead;
  }
  return 0;
}

void CheckFrame(const Frame& frame) {
  const bool lengthOk = frame.length >= 1 && frame.length <= kBlockSize;
  if (frame.type == FrameType::kBlockWrite || frame.type == FrameType::kBlockRead) {
    QUENTO_FUZZ_REQUIRE((frame.error == FrameError::kBadLength) == !lengthOk);
  }
  if (frame.type == FrameType::kBlockWrite && lengthOk) {
    QUENTO_FUZZ_REQUIRE(frame.data.size() == frame.length);
    QUENTO_FUZZ_REQUIRE((frame.error == FrameError::kBadChecksum) ==
                        (BlockChecksum(frame.data) != frame.checksum));
  } else {
    QUENTO_FUZZ_REQUIRE(frame.data.empty());
  }
  if (frame.type != FrameType::kBlockWrite) {
    QUENTO_FUZZ_REQUIRE(frame.error != FrameError::kBadChecksum);
  }
}

bool Same(const Frame& a, const Frame& b) {
  return a.type == b.type && a.error == b.error && a.length == b.length && a.index == b.index &&
         a.checksum == b.checksum && a.data == b.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // The first bytes choose where the stream is cut; the rest is the stream.
  std::vector<std::size_t> cuts;
  const std::size_t pieces = input.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < pieces; ++i) {
    cuts.push_back(input.ConsumeIntegralInRange<std::size_t>(1, 2 * kMaxFrameSize));
  }
  const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

  FrameParser whole;
  const std::vector<Frame> expected = whole.Feed(stream);
  QUENTO_FUZZ_REQUIRE(whole.buffered() <= FrameParser::kCapacity);

  FrameParser pieced;
  std::vector<Frame> frames;
  std::size_t pos = 0;
  for (std::size_t i = 0; pos < stream.size(); ++i) {
    const std::size_t take =
        i < cuts.size() ? std::min(cuts[i], stream.size() - pos) : stream.size() - pos;
    pieced.Feed(std::span(stream).subspan(pos, take),
                [&frames](Frame&& f) { frames.push_back(std::move(f)); });
    QUENTO_FUZZ_REQUIRE(pieced.buffered() <= FrameParser::kCapacity);
    pos += take;
  }

  // Where the stream is cut never changes what is parsed from it.
  QUENTO_FUZZ_REQUIRE(frames.size() == expected.size());
  std::size_t consumed = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    QUENTO_FUZZ_REQUIRE(Same(frames[i], expected[i]));
    CheckFrame(frames[i]);
    consumed += WireSize(frames[i]);
  }
  QUENTO_FUZZ_REQUIRE(pieced.buffered() == whole.buffered());
  QUENTO_FUZZ_REQUIRE(pieced.droppedBytes() == whole.droppedBytes());
  QUENTO_FUZZ_REQUIRE(pieced.framesParsed() == frames.size());
  // Every byte is accounted for: in a frame, dropped while resynchronising, or still held.
  QUENTO_FUZZ_REQUIRE(consumed + pieced.droppedBytes() + pieced.buffered() == stream.size());
  return 0;
}
