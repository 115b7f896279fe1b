#include "device/frame_parser.h"

#include <gtest/gtest.h>

#include <random>

#include "test_client.h"

namespace quento::device {
namespace {

using test::BlockRead;
using test::BlockWrite;
using test::Bytes;
using test::Completion;
using test::Concat;
using test::Greeting;

Bytes Data(std::size_t n, std::uint8_t seed = 1) {
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7);
  return data;
}

TEST(FrameParser, ParsesEachFrameKind) {
  FrameParser parser;
  const Bytes data = Data(100);
  const auto frames =
      parser.Feed(Concat({Greeting(), BlockWrite(3, data), BlockRead(3, 100), Completion()}));
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].type, FrameType::kGreeting);
  EXPECT_EQ(frames[1].type, FrameType::kBlockWrite);
  EXPECT_TRUE(frames[1].ok());
  EXPECT_EQ(frames[1].index, 3);
  EXPECT_EQ(frames[1].length, 100);
  EXPECT_EQ(frames[1].data, data);
  EXPECT_EQ(frames[2].type, FrameType::kBlockRead);
  EXPECT_TRUE(frames[2].ok());
  EXPECT_EQ(frames[2].index, 3);
  EXPECT_EQ(frames[2].length, 100);
  EXPECT_EQ(frames[3].type, FrameType::kCompletion);
  EXPECT_EQ(parser.buffered(), 0u);
  EXPECT_EQ(parser.droppedBytes(), 0u);
  EXPECT_EQ(parser.framesParsed(), 4u);
}

TEST(FrameParser, FrameSplitIntoSingleBytes) {
  FrameParser parser;
  const Bytes frame = BlockWrite(255, Data(1024));
  std::vector<Frame> frames;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    auto got = parser.Feed(std::span(frame).subspan(i, 1));
    if (i + 1 < frame.size()) {
      EXPECT_TRUE(got.empty()) << i;
      EXPECT_EQ(parser.buffered(), i + 1);
    }
    for (auto& f : got) frames.push_back(std::move(f));
  }
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].ok());
  EXPECT_EQ(frames[0].index, 255);
  EXPECT_EQ(frames[0].data, Data(1024));
}

TEST(FrameParser, SplitAtEveryPosition) {
  const Bytes stream =
      Concat({Greeting(), BlockWrite(1, Data(10)), BlockRead(1, 10), Completion()});
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameParser parser;
    auto frames = parser.Feed(std::span(stream).first(cut));
    for (auto& f : parser.Feed(std::span(stream).subspan(cut))) frames.push_back(std::move(f));
    ASSERT_EQ(frames.size(), 4u) << cut;
    EXPECT_EQ(frames[1].data, Data(10));
  }
}

TEST(FrameParser, ManyFramesCoalescedBeyondTheBufferSize) {
  Bytes stream;
  for (unsigned b = 0; b < 20; ++b) {
    const Bytes frame = BlockWrite(b, Data(1024, static_cast<std::uint8_t>(b)));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  FrameParser parser;
  const auto frames = parser.Feed(stream);
  ASSERT_EQ(frames.size(), 20u);
  for (unsigned b = 0; b < 20; ++b) {
    EXPECT_TRUE(frames[b].ok());
    EXPECT_EQ(frames[b].index, b);
    EXPECT_EQ(frames[b].data, Data(1024, static_cast<std::uint8_t>(b)));
  }
}

TEST(FrameParser, GarbageBeforeAPreambleIsDropped) {
  // Plain junk, a partial preamble, and a preamble with an unknown command.
  const Bytes garbage = {0x00, 0xFF, 0x12, 0x34, 0x99, 0x12, 0x12, 0x34, 0x56, 0x01, 0x56};
  FrameParser parser;
  const auto frames = parser.Feed(Concat({garbage, Greeting()}));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, FrameType::kGreeting);
  EXPECT_EQ(parser.droppedBytes(), garbage.size());
}

TEST(FrameParser, PreambleOverlappingGarbage) {
  // 12 12 34 56 7B: the first 12 is junk, the frame starts at the second.
  FrameParser parser;
  const auto frames = parser.Feed(Bytes{0x12, 0x12, 0x34, 0x56, 0x7B});
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(parser.droppedBytes(), 1u);
}

TEST(FrameParser, WaitsOnAPartialPreamble) {
  FrameParser parser;
  EXPECT_TRUE(parser.Feed(Bytes{0x12, 0x34}).empty());
  EXPECT_EQ(parser.buffered(), 2u);
  EXPECT_EQ(parser.Feed(Bytes{0x56, 0x7A}).size(), 1u);
}

TEST(FrameParser, BadChecksumIsReported) {
  Bytes frame = BlockWrite(7, Data(16));
  frame.back() ^= 0x01;
  FrameParser parser;
  const auto frames = parser.Feed(Concat({frame, Greeting()}));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, FrameType::kBlockWrite);
  EXPECT_EQ(frames[0].error, FrameError::kBadChecksum);
  EXPECT_FALSE(frames[0].ok());
  EXPECT_EQ(frames[1].type, FrameType::kGreeting);
}

TEST(FrameParser, OversizeLengthIsRefusedWithoutWaitingForItsData) {
  for (const std::uint16_t n : {std::uint16_t{1025}, std::uint16_t{0xFFFF}, std::uint16_t{0}}) {
    FrameParser parser;
    const Bytes header = {0x12,
                          0x34,
                          0x56,
                          0x78,
                          static_cast<std::uint8_t>(n >> 8),
                          static_cast<std::uint8_t>(n & 0xFF),
                          0x04};
    const Bytes junk(3000, 0xA5);
    const auto frames = parser.Feed(Concat({header, junk, Greeting()}));
    ASSERT_EQ(frames.size(), 2u) << n;
    EXPECT_EQ(frames[0].type, FrameType::kBlockWrite);
    EXPECT_EQ(frames[0].error, FrameError::kBadLength);
    EXPECT_EQ(frames[0].length, n);
    EXPECT_TRUE(frames[0].data.empty());
    EXPECT_EQ(frames[1].type, FrameType::kGreeting);
    EXPECT_LE(parser.buffered(), FrameParser::kCapacity);
  }
}

TEST(FrameParser, ReadRequestWithBadLength) {
  FrameParser parser;
  const auto frames = parser.Feed(Bytes{0x12, 0x34, 0x56, 0x79, 0x04, 0x01, 0x00});
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, FrameType::kBlockRead);
  EXPECT_EQ(frames[0].error, FrameError::kBadLength);
}

TEST(FrameParser, ResetForgetsAPartialFrame) {
  FrameParser parser;
  const Bytes frame = BlockWrite(0, Data(10));
  parser.Feed(std::span(frame).first(9));
  parser.Reset();
  EXPECT_EQ(parser.buffered(), 0u);
  EXPECT_EQ(parser.Feed(Greeting()).size(), 1u);
}

TEST(FrameParser, RandomInputStaysBoundedAndFramesSurvive) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> chunk(1, 3000);
  FrameParser parser;
  std::size_t frames = 0;
  for (int round = 0; round < 200; ++round) {
    Bytes input(static_cast<std::size_t>(chunk(rng)));
    for (auto& b : input) b = static_cast<std::uint8_t>(byte(rng));
    // Bias toward preambles so that frame paths are taken.
    for (std::size_t i = 0; i + 4 < input.size(); i += 97) {
      input[i] = 0x12;
      input[i + 1] = 0x34;
      input[i + 2] = 0x56;
      input[i + 3] = static_cast<std::uint8_t>(0x78 + (i % 4));
    }
    parser.Feed(input, [&](Frame&& f) {
      ++frames;
      EXPECT_LE(f.data.size(), protocol::kBlockSize);
    });
    ASSERT_LE(parser.buffered(), FrameParser::kCapacity);
  }
  EXPECT_GT(frames, 0u);
  // After any garbage, a greeting is found once an incomplete frame is flushed out.
  parser.Reset();
  EXPECT_EQ(parser.Feed(Greeting()).size(), 1u);
}

}  // namespace
}  // namespace quento::device
