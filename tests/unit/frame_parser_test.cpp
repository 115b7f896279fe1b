// The device's frame parser: every frame kind under any split, garbage and bad frames. Arbitrary
// input is the fuzz target's (tests/fuzz/frame_parser_fuzz.cpp).
#include "protocol/frame_parser.h"

#include <gtest/gtest.h>

#include "support/wire.h"

namespace quento::protocol {
namespace {

using namespace quento::testing;

// The frame as the tool would have sent it.
Bytes Rebuilt(const Frame& f) {
  if (f.type == FrameType::kBlockWrite) return BlockWrite(f.index, f.data);
  if (f.type == FrameType::kBlockRead) return BlockRead(f.index, f.length);
  return f.type == FrameType::kGreeting ? Greeting() : Completion();
}

TEST(FrameParser, EveryKind_ParsedWholeOrSplitAtAnyByte) {
  // Longer than the parser's buffer, so a whole feed is parsed in pieces too.
  const Bytes stream = Concat({Greeting(), BlockWrite(3, Pattern(100)),
                               BlockWrite(4, Pattern(1024)), BlockRead(3, 100), Completion()});
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    FrameParser parser;
    auto frames = parser.Feed(std::span(stream).first(cut));
    for (auto& f : parser.Feed(std::span(stream).subspan(cut))) frames.push_back(std::move(f));
    Bytes rebuilt;
    for (const Frame& f : frames) rebuilt = Concat({rebuilt, f.ok() ? Rebuilt(f) : Bytes{}});
    EXPECT_EQ(frames.size(), 5u);
    EXPECT_EQ(rebuilt, stream);
    EXPECT_EQ(parser.buffered() + parser.droppedBytes(), 0u);
  }
}

TEST(FrameParser, Garbage_DroppedUpToTheNextPreamble) {
  // Junk, a partial preamble, an unknown command, and a 12 that overlaps the real preamble.
  const Bytes garbage = {0x00, 0xFF, 0x12, 0x34, 0x99, 0x12, 0x34, 0x56, 0x01, 0x56, 0x12};
  FrameParser parser;
  const auto frames = parser.Feed(Concat({garbage, Greeting()}));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, FrameType::kGreeting);
  EXPECT_EQ(parser.droppedBytes(), garbage.size());
}

TEST(FrameParser, BadFrames_ReportedAndTheNextFrameFound) {
  Bytes badSum = BlockWrite(7, Pattern(16));
  badSum.back() ^= 1;
  const auto withLength = [](Bytes frame, std::uint16_t n) {
    frame[4] = static_cast<std::uint8_t>(n >> 8);
    frame[5] = static_cast<std::uint8_t>(n & 0xFF);
    return frame;
  };
  // A bad length leaves the data undelimited: what follows is searched for a preamble at once.
  const std::pair<Bytes, FrameError> cases[] = {
      {badSum, FrameError::kBadChecksum},
      {Concat({withLength(BlockWrite(4, Bytes(1)), 1025), Bytes(3000, 0xA5)}),
       FrameError::kBadLength},
      {withLength(BlockWrite(4, Bytes(1)), 0), FrameError::kBadLength},
      {BlockRead(0, 1025), FrameError::kBadLength},
  };
  for (const auto& [frame, error] : cases) {
    SCOPED_TRACE(frame.size());
    const auto frames = FrameParser().Feed(Concat({frame, Greeting()}));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type,
              frame[3] == kCmdRead ? FrameType::kBlockRead : FrameType::kBlockWrite);
    EXPECT_EQ(frames[0].error, error);
    EXPECT_EQ(frames[1].type, FrameType::kGreeting);
  }
}

}  // namespace
}  // namespace quento::protocol
