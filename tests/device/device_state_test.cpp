// The fault and listen grammars, and one device's answers under each fault; no sockets.
#include "device/device_state.h"

#include <gtest/gtest.h>

#include "device/listen_address.h"
#include "device_test.h"
#include "image/firmware_image.h"

namespace quento::device {
namespace {

using namespace test;
using namespace std::chrono_literals;

Frame Parse(const Bytes& bytes) {
  auto frames = FrameParser().Feed(bytes);
  EXPECT_EQ(frames.size(), 1u);
  return frames.empty() ? Frame{} : std::move(frames[0]);
}

Bytes Flipped(Bytes data, std::size_t at) {
  data[at] ^= 0xFF;
  return data;
}

TEST(AddFault, GoodTextsAccepted_BadOnesRefusedWithAReason) {
  // clang-format off
  const std::pair<const char*, bool> cases[] = {
      {"silent", true}, {"ignore-greeting", true}, {"ignore-greeting:3", true},
      {"drop-ack:4", true}, {"drop-ack:5:always", true}, {"wrong-ack:6:2", true},
      {"corrupt-read:7", true}, {"corrupt-read:8:0", true}, {"wrong-read-index:2", true},
      {"delay:20", true}, {"split:15", true}, {"junk:9", true}, {"close-after:3", true},
      {"", false}, {"loud", false}, {"silent:1", false}, {"drop-ack", false},
      {"drop-ack:256", false}, {"drop-ack:1:x", false}, {"drop-ack:1:2:3", false},
      {"delay", false}, {"delay:-1", false}, {"delay:abc", false},
      {"delay:99999999999999", false}, {"split:", false}, {"junk:1:2", false},
      {"corrupt-read:1:1024", false}, {"close-after", false}, {"ignore-greeting:-2", false},
      {"wrong-ack:+1", false}, {" silent", false}};
  // clang-format on
  for (const auto& [text, ok] : cases) {
    FaultPlan plan;
    std::string error;
    EXPECT_EQ(AddFault(text, plan, &error), ok) << text;
    EXPECT_EQ(error.empty(), ok) << text << ": " << error;
  }
  // What the answers below cannot show: the timings, and the counts left out.
  EXPECT_EQ(Plan({"delay:20"}).delay, 20ms);
  EXPECT_EQ(Plan({"split:15"}).splitGap, 15ms);
  EXPECT_EQ(Plan({"ignore-greeting"}).ignoreGreetings, 1);
  EXPECT_EQ(Plan({"drop-ack:4"}).dropAck.at(4), 1);
}

TEST(ParseListen, AddressesRangesAndPorts_OrAnError) {
  // The endpoints as FIRST..LAST/COUNT; empty: refused.
  const std::pair<const char*, const char*> cases[] = {
      {"127.0.0.1", "127.0.0.1:18810..127.0.0.1:18810/1"},
      {"localhost:0", "127.0.0.1:0..127.0.0.1:0/1"},
      {"127.0.0.10-127.0.0.12:1234", "127.0.0.10:1234..127.0.0.12:1234/3"},
      {"127.0.0.0-127.0.255.255:1", "127.0.0.0:1..127.0.255.255:1/65536"},
      // clang-format off
      {"127.0.0.0-127.1.0.0:1", ""}, {"", ""}, {"127.0.0", ""}, {"127.0.0.1:", ""},
      {"127.0.0.1:65536", ""}, {"127.0.0.1:x", ""}, {"127.0.0.5-127.0.0.1", ""}, {"host:1", ""}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    std::vector<Endpoint> out;
    const bool ok = ParseListen(text, out, nullptr);
    EXPECT_EQ(ok ? out.front().ToString() + ".." + out.back().ToString() + "/" +
                       std::to_string(out.size())
                 : "",
              expected)
        << text;
  }
}

// One frame and the device's answer; an empty frame stands for a new connection, which the
// device refuses when `close` is set.
struct Step {
  Bytes frame;
  Bytes reply;
  bool close = false;
  std::optional<Bytes> image = std::nullopt;  // completed, unmasked
};

TEST(DeviceState, EachFaultChangesTheAnswersAsDescribed) {
  const Bytes d = Pattern(20);
  const Bytes padded = Concat({d, Bytes(4, 0xFF)});
  Bytes badSum = BlockWrite(0, d);
  badSum.back() ^= 1;
  Bytes badLength = BlockWrite(0, Bytes(1));
  badLength[4] = badLength[5] = 0xFF;
  const Bytes ff(3, 0xFF);  // never written
  const Bytes badRead = Refusal(protocol::kCmdRead);
  const Bytes g = Greeting();
  const Bytes echo = Echo();
  const Bytes image = Pattern(1030, 5);
  Bytes masked = image;
  for (auto& b : masked) b ^= image::kMask;
  const Bytes block0(masked.begin(), masked.begin() + 1024);
  const Bytes block1(masked.begin() + 1024, masked.end());
  // clang-format off
  const struct { std::vector<const char*> faults; std::vector<Step> steps; } cases[] = {
      {{}, {{g, echo}, {BlockWrite(0, d), Ack()}, {BlockRead(0, 20), ReadReply(0, d)},
            {BlockRead(0, 24), ReadReply(0, padded)}, {BlockRead(9, 3), ReadReply(9, ff)},
            {badSum, Refusal()}, {badLength, Refusal()}, {BlockRead(0, 0), badRead}}},
      // Blocks from 0 up to a gap make the image; a greeting or a completion forgets them.
      {{}, {{BlockWrite(0, block0), Ack()}, {BlockWrite(1, block1), Ack()},
            {BlockWrite(3, d), Ack()}, {Completion(), {}, false, image},
            {BlockWrite(0, d), Ack()}, {g, echo}, {Completion(), {}, false, Bytes{}}}},
      {{"ignore-greeting:2"}, {{g, {}}, {g, {}}, {g, echo}}},
      {{"drop-ack:1:2"}, {{BlockWrite(1, d), {}}, {BlockWrite(1, d), {}},
                          {BlockRead(1, 20), ReadReply(1, d)}, {BlockWrite(1, d), Ack()}}},
      {{"wrong-ack:2:always"}, {{BlockWrite(2, d), Refusal()}, {BlockWrite(2, d), Refusal()}}},
      {{"corrupt-read:0", "corrupt-read:1:100"},
       {{BlockWrite(0, d), Ack()}, {BlockRead(0, 20), ReadReply(0, Flipped(d, 6))},
        {BlockRead(0, 20), ReadReply(0, Flipped(d, 6))}, {BlockWrite(1, d), Ack()},
        {BlockRead(1, 20), ReadReply(1, Flipped(d, 19))}}},
      {{"wrong-read-index:1"}, {{BlockWrite(255, d), Ack()}, {BlockRead(255, 20), ReadReply(0, d)},
                                {BlockRead(255, 20), ReadReply(255, d)}}},
      {{"junk:5"}, {{g, Concat({echo, Bytes(5, 0xEE)})}}},
      {{"silent"}, {{g, {}}, {BlockWrite(0, d), {}}, {BlockRead(0, 20), {}}}},
      {{"close-after:2"}, {{{}, {}, false}, {g, echo}, {g, echo, true}, {g, echo}}},
      {{"close-after:0"}, {{{}, {}, true}, {{}, {}, false}}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults.empty() ? "no fault" : c.faults[0]);
    DeviceState device({0x7F000001, 18810}, Plan(c.faults));
    for (const Step& step : c.steps) {
      SCOPED_TRACE(&step - c.steps.data());
      if (step.frame.empty()) {
        EXPECT_EQ(device.OnConnect(), !step.close);
        continue;
      }
      const Response response = device.Handle(Parse(step.frame));
      EXPECT_EQ(response.reply, step.reply);
      EXPECT_EQ(response.close, step.close);
      EXPECT_EQ(response.completedImage, step.image);
    }
  }
}

}  // namespace
}  // namespace quento::device
