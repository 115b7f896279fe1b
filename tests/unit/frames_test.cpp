#include "protocol/frames.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace quento::protocol {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::size_t (*build)(std::span<std::uint8_t>)) {
  std::array<std::uint8_t, kMaxFrameSize> buffer{};
  return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(build(buffer)));
}

Bytes WriteFrame(unsigned block, const Bytes& data) {
  std::array<std::uint8_t, kMaxFrameSize> buffer{};
  const std::size_t n = BuildBlockWrite(buffer, block, data);
  return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(n));
}

Bytes ReadRequest(unsigned block, std::size_t n) {
  std::array<std::uint8_t, kMaxFrameSize> buffer{};
  const std::size_t size = BuildBlockRead(buffer, block, n);
  return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(size));
}

TEST(Frames, WorkedExamplesMatchTheWire) {
  EXPECT_THAT(Frame(BuildGreeting), ElementsAre(0x12, 0x34, 0x56, 0x7B));
  EXPECT_THAT(Frame(BuildCompletion), ElementsAre(0x12, 0x34, 0x56, 0x7A));
  EXPECT_THAT(Frame(BuildGreetingEcho), ElementsAre(0x12, 0x34, 0x56, 0x7B, 0x00, 0x00));
  EXPECT_THAT(Frame(BuildWriteAck), ElementsAre(0x12, 0x34, 0x56, 0x78, 0x00, 0x00));
  EXPECT_THAT(WriteFrame(3, {0x10, 0x20}),
              ElementsAre(0x12, 0x34, 0x56, 0x78, 0x00, 0x02, 0x03, 0x10, 0x20, 0x30));
  EXPECT_THAT(ReadRequest(5, 1024), ElementsAre(0x12, 0x34, 0x56, 0x79, 0x04, 0x00, 0x05));
  EXPECT_THAT(ReadRequest(9, 300), ElementsAre(0x12, 0x34, 0x56, 0x79, 0x01, 0x2C, 0x09));
}

TEST(Frames, FullBlockTravelsAs1032BytesWithItsSum) {
  Bytes data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes frame = WriteFrame(0, data);
  ASSERT_EQ(frame.size(), 1032u);
  EXPECT_THAT(Bytes(frame.begin(), frame.begin() + 7),
              ElementsAre(0x12, 0x34, 0x56, 0x78, 0x04, 0x00, 0x00));
  EXPECT_THAT(Bytes(frame.begin() + 7, frame.end() - 1), ElementsAreArray(data));
  unsigned sum = 0;
  for (std::uint8_t b : data) sum += b;
  EXPECT_EQ(frame.back(), sum % 256);
}

TEST(Frames, ChecksumIsThePlainSumOfTheDataModulo256) {
  EXPECT_EQ(BlockChecksum(Bytes{0x61, 0x62, 0x63}), 0x26);
  EXPECT_EQ(BlockChecksum(Bytes(1024, 0xFF)), 0x00);
  EXPECT_THAT(WriteFrame(7, {0x5A}),
              ElementsAre(0x12, 0x34, 0x56, 0x78, 0x00, 0x01, 0x07, 0x5A, 0x5A));
}

TEST(Frames, HeaderStaysOutOfTheChecksum) {
  const Bytes data = {1, 2, 3, 250};
  EXPECT_EQ(WriteFrame(0, data).back(), WriteFrame(200, data).back());
}

TEST(Frames, Block255CarriesIndexFF) {
  EXPECT_EQ(WriteFrame(255, {1})[6], 0xFF);
  EXPECT_EQ(ReadRequest(255, 1024)[6], 0xFF);
}

TEST(Replies, OnlyTheExactEchoAndAckPass) {
  const std::array<std::uint8_t, 6> echo = {0x12, 0x34, 0x56, 0x7B, 0, 0};
  const std::array<std::uint8_t, 6> ack = {0x12, 0x34, 0x56, 0x78, 0, 0};
  EXPECT_TRUE(IsGreetingEcho(echo));
  EXPECT_TRUE(IsWriteAck(ack));
  EXPECT_FALSE(IsGreetingEcho(ack));
  EXPECT_FALSE(IsWriteAck(echo));
  EXPECT_FALSE(IsWriteAck(std::array<std::uint8_t, 6>{0x12, 0x34, 0x56, 0x78, 0x00, 0x01}));
  EXPECT_FALSE(IsWriteAck(std::array<std::uint8_t, 6>{0x12, 0x34, 0x57, 0x78, 0x00, 0x00}));
  EXPECT_FALSE(IsGreetingEcho(std::array<std::uint8_t, 6>{}));
}

TEST(Replies, BlockReadReplyIsJudgedByPreambleCommandAndIndexOnly) {
  Bytes reply = {0x12, 0x34, 0x56, 0x79, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0x00};
  EXPECT_TRUE(IsBlockReadReply(reply, 0));
  reply[4] = 0x7F;  // the length is not examined
  EXPECT_TRUE(IsBlockReadReply(reply, 0));
  reply[6] = 0x01;
  EXPECT_FALSE(IsBlockReadReply(reply, 0));
  EXPECT_TRUE(IsBlockReadReply(reply, 1));
  reply[3] = 0x78;
  EXPECT_FALSE(IsBlockReadReply(reply, 1));
  EXPECT_FALSE(IsBlockReadReply(Bytes{0x12, 0x34, 0x56}, 0));
}

TEST(Replies, WhatTheDeviceBuildsIsWhatTheToolAccepts) {
  std::array<std::uint8_t, kMaxFrameSize> out{};
  ASSERT_EQ(BuildGreetingEcho(out), kShortReplySize);
  EXPECT_TRUE(IsGreetingEcho(std::span(out).first<kShortReplySize>()));
  ASSERT_EQ(BuildRefusal(out, kCmdWrite), kShortReplySize);
  EXPECT_THAT(Bytes(out.begin(), out.begin() + 6), ElementsAre(0x12, 0x34, 0x56, 0x78, 0, 1));
  EXPECT_FALSE(IsWriteAck(std::span(out).first<kShortReplySize>()));
  const Bytes data = {0x10, 0x20};
  ASSERT_EQ(BuildBlockReadReply(out, 3, data), 10u);
  EXPECT_THAT(Bytes(out.begin(), out.begin() + 10),
              ElementsAre(0x12, 0x34, 0x56, 0x79, 0x00, 0x02, 0x03, 0x10, 0x20, 0x30));
  EXPECT_TRUE(IsBlockReadReply(std::span(out).first(10), 3));
}

TEST(Replies, ReplySizesFollowTheBlock) {
  EXPECT_EQ(BlockReadReplySize(1024), 1032u);
  EXPECT_EQ(BlockReadReplySize(1), 9u);
}

}  // namespace
}  // namespace quento::protocol
