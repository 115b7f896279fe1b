#include "device/device_state.h"

#include <gtest/gtest.h>

#include "device/listen_address.h"
#include "image/firmware_image.h"
#include "protocol/frames.h"
#include "test_client.h"

namespace quento::device {
namespace {

using test::Bytes;
using test::kAck;
using test::kEcho;
using test::kNak;
using test::Plan;

Frame Parse(const Bytes& bytes) {
  FrameParser parser;
  auto frames = parser.Feed(bytes);
  EXPECT_EQ(frames.size(), 1u);
  return frames.empty() ? Frame{} : std::move(frames[0]);
}

Bytes Data(std::size_t n, std::uint8_t seed = 3) {
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(seed * (i + 1));
  return data;
}

Bytes Write(DeviceState& d, unsigned block, const Bytes& data) {
  return d.Handle(Parse(test::BlockWrite(block, data))).reply;
}
Bytes Read(DeviceState& d, unsigned block, std::size_t n) {
  return d.Handle(Parse(test::BlockRead(block, n))).reply;
}
Bytes Greet(DeviceState& d) { return d.Handle(Parse(test::Greeting())).reply; }

Bytes ReadReplyFor(unsigned block, const Bytes& data) {
  // Sized up front: GCC 12 warns (falsely) about inserting into a 7-byte vector.
  Bytes reply(data.size() + 8);
  const Bytes header = {0x12,
                        0x34,
                        0x56,
                        0x79,
                        static_cast<std::uint8_t>(data.size() >> 8),
                        static_cast<std::uint8_t>(data.size() & 0xFF),
                        static_cast<std::uint8_t>(block)};
  std::copy(header.begin(), header.end(), reply.begin());
  std::copy(data.begin(), data.end(), reply.begin() + 7);
  reply.back() = protocol::BlockChecksum(data);
  return reply;
}

const Endpoint kDevice{0x7F000001, 18810};

TEST(DeviceState, GreetingWriteReadBack) {
  DeviceState d(kDevice, {});
  EXPECT_EQ(Greet(d), kEcho);
  EXPECT_EQ(Write(d, 0, Data(1024)), kAck);
  EXPECT_EQ(Read(d, 0, 1024), ReadReplyFor(0, Data(1024)));
  EXPECT_EQ(d.framesReceived(), 3u);
}

TEST(DeviceState, ReadPadsWithFF) {
  DeviceState d(kDevice, {});
  EXPECT_EQ(Write(d, 1, Data(4)), kAck);
  Bytes padded = Data(4);
  padded.resize(8, 0xFF);
  EXPECT_EQ(Read(d, 1, 8), ReadReplyFor(1, padded));
  EXPECT_EQ(Read(d, 9, 3), ReadReplyFor(9, Bytes(3, 0xFF)));  // never written
}

TEST(DeviceState, BadFramesAreNotAcknowledged) {
  DeviceState d(kDevice, {});
  Bytes bad = test::BlockWrite(0, Data(10));
  bad.back() ^= 0xFF;
  EXPECT_EQ(d.Handle(Parse(bad)).reply, kNak);
  EXPECT_EQ(d.blocksHeld(), 0u);
  EXPECT_EQ(d.Handle(Parse(Bytes{0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0x00})).reply, kNak);
  EXPECT_EQ(d.Handle(Parse(Bytes{0x12, 0x34, 0x56, 0x79, 0x00, 0x00, 0x00})).reply,
            RefusalReply(protocol::kCmdRead));
}

TEST(DeviceState, CompletionUnmasksContiguousBlocksAndClears) {
  DeviceState d(kDevice, {});
  Bytes image = Data(2500, 5);
  Bytes masked = image;
  for (auto& b : masked) b ^= image::kMask;
  Write(d, 0, Bytes(masked.begin(), masked.begin() + 1024));
  Write(d, 1, Bytes(masked.begin() + 1024, masked.begin() + 2048));
  Write(d, 2, Bytes(masked.begin() + 2048, masked.end()));
  Write(d, 4, Data(10));  // past a gap: not part of the image
  const Response done = d.Handle(Parse(test::Completion()));
  EXPECT_TRUE(done.reply.empty());
  ASSERT_TRUE(done.completedImage.has_value());
  EXPECT_EQ(*done.completedImage, image);
  EXPECT_EQ(d.blocksHeld(), 0u);
  // The next download starts empty.
  const Response empty = d.Handle(Parse(test::Completion()));
  ASSERT_TRUE(empty.completedImage.has_value());
  EXPECT_TRUE(empty.completedImage->empty());
}

TEST(DeviceState, IgnoreGreeting) {
  DeviceState d(kDevice, Plan({"ignore-greeting:2"}));
  EXPECT_TRUE(Greet(d).empty());
  EXPECT_TRUE(Greet(d).empty());
  EXPECT_EQ(Greet(d), kEcho);
}

TEST(DeviceState, DropAndWrongAck) {
  DeviceState d(kDevice, Plan({"drop-ack:1:2", "wrong-ack:2:always"}));
  EXPECT_EQ(Write(d, 0, Data(5)), kAck);
  EXPECT_TRUE(Write(d, 1, Data(5)).empty());
  EXPECT_TRUE(Write(d, 1, Data(5)).empty());
  EXPECT_EQ(Write(d, 1, Data(5)), kAck);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Write(d, 2, Data(5)), kNak);
}

TEST(DeviceState, CorruptReadFlipsOneByteOfTheReply) {
  DeviceState d(kDevice, Plan({"corrupt-read:0", "corrupt-read:1:100"}));
  Write(d, 0, Data(20));
  Bytes expected = Data(20);
  expected[6] ^= 0xFF;  // default offset
  EXPECT_EQ(Read(d, 0, 20), ReadReplyFor(0, expected));
  EXPECT_EQ(Read(d, 0, 20), ReadReplyFor(0, expected));  // every time
  Write(d, 1, Data(20));
  expected = Data(20);
  expected[19] ^= 0xFF;  // an offset past the block lands on its last byte
  EXPECT_EQ(Read(d, 1, 20), ReadReplyFor(1, expected));
}

TEST(DeviceState, WrongReadIndex) {
  DeviceState d(kDevice, Plan({"wrong-read-index:1"}));
  Write(d, 255, Data(3));
  EXPECT_EQ(Read(d, 255, 3)[6], 0);  // wraps
  EXPECT_EQ(Read(d, 255, 3)[6], 255);
}

TEST(DeviceState, JunkAndSilent) {
  DeviceState junk(kDevice, Plan({"junk:5"}));
  const Bytes echo = Greet(junk);
  ASSERT_EQ(echo.size(), 11u);
  EXPECT_EQ(Bytes(echo.begin(), echo.begin() + 6), kEcho);
  DeviceState silent(kDevice, Plan({"silent"}));
  EXPECT_TRUE(Greet(silent).empty());
  EXPECT_TRUE(Write(silent, 0, Data(3)).empty());
  EXPECT_TRUE(Read(silent, 0, 3).empty());
  EXPECT_TRUE(silent.Handle(Parse(test::Completion())).completedImage.has_value());
}

TEST(DeviceState, CloseAfterFiresOnce) {
  DeviceState d(kDevice, Plan({"close-after:2"}));
  EXPECT_TRUE(d.OnConnect());
  EXPECT_FALSE(d.Handle(Parse(test::Greeting())).close);
  const Response second = d.Handle(Parse(test::Greeting()));
  EXPECT_TRUE(second.close);
  EXPECT_EQ(second.reply, kEcho);  // answered, then closed
  EXPECT_FALSE(d.Handle(Parse(test::Greeting())).close);
  DeviceState zero(kDevice, Plan({"close-after:0"}));
  EXPECT_FALSE(zero.OnConnect());
  EXPECT_TRUE(zero.OnConnect());
}

TEST(AddFault, Grammar) {
  FaultPlan plan;
  std::string error;
  EXPECT_TRUE(AddFault("silent", plan, &error));
  EXPECT_TRUE(plan.silent);
  EXPECT_TRUE(AddFault("ignore-greeting", plan, &error));
  EXPECT_EQ(plan.ignoreGreetings, 1);
  EXPECT_TRUE(AddFault("ignore-greeting:3", plan, &error));
  EXPECT_EQ(plan.ignoreGreetings, 3);
  EXPECT_TRUE(AddFault("drop-ack:4", plan, &error));
  EXPECT_EQ(plan.dropAck[4], 1);
  EXPECT_TRUE(AddFault("drop-ack:5:always", plan, &error));
  EXPECT_EQ(plan.dropAck[5], kAlways);
  EXPECT_TRUE(AddFault("wrong-ack:6:2", plan, &error));
  EXPECT_EQ(plan.wrongAck[6], 2);
  EXPECT_TRUE(AddFault("corrupt-read:7", plan, &error));
  EXPECT_EQ(plan.corruptRead[7], 6u);
  EXPECT_TRUE(AddFault("corrupt-read:8:0", plan, &error));
  EXPECT_EQ(plan.corruptRead[8], 0u);
  EXPECT_TRUE(AddFault("wrong-read-index:2", plan, &error));
  EXPECT_EQ(plan.wrongReadIndex, 2);
  EXPECT_TRUE(AddFault("delay:20", plan, &error));
  EXPECT_EQ(plan.delay, std::chrono::milliseconds(20));
  EXPECT_TRUE(AddFault("split:15", plan, &error));
  EXPECT_EQ(plan.splitGap, std::chrono::milliseconds(15));
  EXPECT_TRUE(AddFault("junk:9", plan, &error));
  EXPECT_EQ(plan.junk, 9u);
  EXPECT_TRUE(AddFault("close-after:3", plan, &error));
  EXPECT_EQ(plan.closeAfter, 3);

  for (const char* bad :
       {"", "loud", "silent:1", "drop-ack", "drop-ack:256", "drop-ack:1:x", "drop-ack:1:2:3",
        "delay", "delay:-1", "delay:abc", "delay:99999999999999", "split:", "junk:1:2",
        "corrupt-read:1:1024", "close-after", "ignore-greeting:-2", "wrong-ack:+1", " silent"}) {
    FaultPlan p;
    error.clear();
    EXPECT_FALSE(AddFault(bad, p, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(ListenSpec, AddressesRangesAndPorts) {
  std::vector<Endpoint> out;
  std::string error;
  ASSERT_TRUE(ParseListen("127.0.0.1", out, &error));
  ASSERT_TRUE(ParseListen("127.0.0.2:0", out, &error));
  ASSERT_TRUE(ParseListen("127.0.0.10-127.0.0.12:1234", out, &error));
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].ToString(), "127.0.0.1:18810");
  EXPECT_EQ(out[1].ToString(), "127.0.0.2:0");
  EXPECT_EQ(out[2].ToString(), "127.0.0.10:1234");
  EXPECT_EQ(out[4].ToString(), "127.0.0.12:1234");
  for (const char* bad : {"", "127.0.0", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:x",
                          "127.0.0.5-127.0.0.1", "127.0.0.1-128.0.0.1", "host:1"}) {
    EXPECT_FALSE(ParseListen(bad, out, &error)) << bad;
  }
}

}  // namespace
}  // namespace quento::device
