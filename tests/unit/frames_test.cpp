// The wire: every frame and reply byte for byte as both sides build them, and the device's frame
// parser under any split, garbage and bad frames. Arbitrary input is the fuzz target's
// (tests/fuzz/frame_parser_fuzz.cpp).
#include <gtest/gtest.h>

#include "protocol/frame_parser.h"
#include "support/wire.h"

namespace quento::protocol {
namespace {

using namespace quento::testing;

TEST(Frames, EachBuilder_WritesTheExactBytes) {
  const std::pair<Bytes, Bytes> cases[] = {
      {Greeting(), {0x12, 0x34, 0x56, 0x7B}},
      {Completion(), {0x12, 0x34, 0x56, 0x7A}},
      {BlockWrite(3, {0x10, 0x20}), {0x12, 0x34, 0x56, 0x78, 0x00, 0x02, 0x03, 0x10, 0x20, 0x30}},
      {BlockWrite(255, {0x5A}), {0x12, 0x34, 0x56, 0x78, 0x00, 0x01, 0xFF, 0x5A, 0x5A}},
      {BlockRead(5, 1024), {0x12, 0x34, 0x56, 0x79, 0x04, 0x00, 0x05}},
      {BlockRead(255, 300), {0x12, 0x34, 0x56, 0x79, 0x01, 0x2C, 0xFF}},
      {Echo(), {0x12, 0x34, 0x56, 0x7B, 0x00, 0x00}},
      {Ack(), {0x12, 0x34, 0x56, 0x78, 0x00, 0x00}},
      {Refusal(kCmdRead), {0x12, 0x34, 0x56, 0x79, 0x00, 0x01}},
      {ReadReply(3, {0x10, 0x20}), {0x12, 0x34, 0x56, 0x79, 0x00, 0x02, 0x03, 0x10, 0x20, 0x30}},
      {ReadReply(255, {0x61, 0x62, 0x63}),
       {0x12, 0x34, 0x56, 0x79, 0x00, 0x03, 0xFF, 0x61, 0x62, 0x63, 0x26}},
  };
  for (const auto& [built, expected] : cases) EXPECT_EQ(built, expected);
}

// The frames as letters: G, W, R, C, with "!" after a bad length and "?" after a bad checksum.
std::string Kinds(const std::vector<Frame>& frames) {
  std::string out;
  for (const Frame& f : frames) {
    out += std::string(1, "GWRC"[static_cast<int>(f.type)]) + " !?"[static_cast<int>(f.error)];
  }
  std::erase(out, ' ');
  return out;
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
    ASSERT_EQ(Kinds(frames), "GWWRC");
    EXPECT_EQ(BlockWrite(frames[2].index, frames[2].data), BlockWrite(4, Pattern(1024)));
    EXPECT_EQ(parser.buffered() + parser.droppedBytes(), 0u);
  }
}

TEST(FrameParser, GarbageAndBadFrames_DroppedOrReportedAndTheNextFrameFound) {
  Bytes badSum = BlockWrite(7, Pattern(16));
  badSum.back() ^= 1;
  Bytes badLength = BlockWrite(4, Bytes(1));
  badLength[4] = 0x04;  // 1025: the data is undelimited, so a preamble is looked for at once
  // Junk, a partial preamble, an unknown command, and a 12 that overlaps the real preamble.
  const Bytes garbage = {0x00, 0xFF, 0x12, 0x34, 0x99, 0x12, 0x34, 0x56, 0x01, 0x56, 0x12};
  const std::tuple<Bytes, const char*, std::size_t> cases[] = {
      {garbage, "G", garbage.size()},
      {badSum, "W?G", 0},
      {Concat({badLength, Bytes(3000, 0xA5)}), "W!G", 3000 + badLength.size() - kDataOffset},
      {BlockRead(0, 1025), "R!G", 0},
  };
  for (const auto& [input, kinds, dropped] : cases) {
    SCOPED_TRACE(kinds);
    FrameParser parser;
    EXPECT_EQ(Kinds(parser.Feed(Concat({input, Greeting()}))), kinds);
    EXPECT_EQ(parser.droppedBytes(), dropped);
  }
}

}  // namespace
}  // namespace quento::protocol
