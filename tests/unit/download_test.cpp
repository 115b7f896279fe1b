// The download against a scripted device: what reaches the device, in what order, at what pace,
// and what the operator sees.
#include "protocol/download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/recording_feedback.h"
#include "support/run_to_end.h"
#include "support/scripted_device.h"
#include "support/temp_dir.h"

namespace quento::protocol {
namespace {

using namespace quento::testing;
using ::testing::ElementsAre;

struct Rig {
  DownloadReport Run(image::LoadResult loaded) {
    DownloadOptions options;
    options.pause = [this](std::chrono::milliseconds d) -> asio::awaitable<void> {
      pauses.push_back(d.count());
      co_return;
    };
    asio::io_context io;
    return RunToEnd(io, RunDownload(
                            std::move(loaded), device, ui, [this] { ++resets; }, options));
  }
  DownloadReport Run(std::size_t size) {
    return Run({image::LoadStatus::kOk, image::FirmwareImage(Pattern(size))});
  }

  ScriptedDevice device;
  RecordingFeedback ui;
  std::vector<long> pauses;
  int resets = 0;
};

TEST(Download, HealthyDevice_GetsTheMaskedImageAndTheOperatorSeesSuccess) {
  Rig rig;
  std::vector<int> positions;
  rig.device.reply = [&](const SentFrame& f, Bytes healthy) {
    if (f.command == kCmdRead) positions.push_back(rig.ui.position);
    return healthy;
  };
  EXPECT_EQ(rig.Run(1025).outcome, op::Outcome::kSuccess);
  EXPECT_EQ(rig.device.Trace(), "G W0 W1 R0 R1 C");
  EXPECT_EQ(rig.device.Image(), Pattern(1025));
  const Bytes lastBlock = {static_cast<std::uint8_t>(Pattern(1025)[1024] ^ 0xA7)};
  EXPECT_EQ(rig.device.sent[2].bytes, BlockWrite(1, lastBlock));
  EXPECT_EQ(rig.device.sent[4].bytes, (Bytes{0x12, 0x34, 0x56, 0x79, 0x00, 0x01, 0x01}));
  EXPECT_EQ(rig.pauses, (std::vector<long>{300, 50, 300, 50, 300, 50, 300, 50, 300, 50}));
  // Half the bar once the blocks are written; the last read-back fills it.
  EXPECT_THAT(positions, ElementsAre(6, 9));
  EXPECT_THAT(rig.ui.events,
              ElementsAre("enable 1004 off", "enable 1002 off", "enable 1005 off", "range 12",
                          "step 3", "push", "status 正在下载中，请稍后……", "pos 12",
                          "status 下载成功！", "message 下载成功！"));
}

// The first `times` answers to `command` for `block` become what `change` makes of them.
std::function<void(Rig&)> Change(std::uint8_t command, int block, int times,
                                 void (*change)(Bytes&)) {
  return [=](Rig& rig) {
    rig.device.reply = [=, count = 0](const SentFrame& f, Bytes answer) mutable {
      if (f.command == command && f.block == block && count++ < times) change(answer);
      return answer;
    };
  };
}
void Refuse(Bytes& answer) { answer = Refusal(); }
// Nothing of the first answer to `command` for `block` arrives in time.
std::function<std::size_t(const SentFrame&, std::size_t)> LateOnce(std::uint8_t command,
                                                                   int block) {
  return [=, late = true](const SentFrame& f, std::size_t n) mutable {
    const bool now = late && f.command == command && f.block == block;
    late = late && !now;
    return now ? 0 : n;
  };
}
void WrongIndex(Bytes& answer) { answer[6] ^= 1; }
void WrongByte(Bytes& answer) { answer[kDataOffset + 6] ^= 1; }

TEST(Download, ScriptedDevice_GetsTheRightFramesAndEndsAsExpected) {
  using enum op::Outcome;
  const struct {
    std::size_t size;
    std::function<void(Rig&)> setup;
    op::Outcome outcome;
    std::string trace;
    std::string detail = "";  // of a send failure
  } scripts[] = {
      // Every echo arrives after its receive gave up; none may pass for a later greeting's.
      {100, [](Rig& r) { r.device.deliver = [](const SentFrame&, std::size_t) { return 0ul; }; },
       kNoResponse, "G G G G G G"},
      {3000, Change(kCmdWrite, 0, 99, Refuse), kNoResponse, "G W0 W0 W0 W0 W0 W0"},
      {4096, Change(kCmdWrite, 2, 1, Refuse), kSuccess, "G W0 W1 W2 W2 W3 R0 R1 R2 R3 C"},
      {4096, Change(kCmdWrite, 3, 1, Refuse), kSuccess, "G W0 W1 W2 W3 W2 W3 R0 R1 R2 R3 C"},
      {2048, Change(kCmdWrite, 1, 99, Refuse), kNoResponse,
       "G W0 W1 W0 W1 W0 W1 W0 W1 W0 W1 W0 W1"},
      {1024, Change(kCmdRead, 0, 99, WrongIndex), kNoResponse, "G W0 R0 R0 R0 R0 R0 R0"},
      // Block 1's acknowledgement is late once: block 0's may not pass for it.
      {2048, [](Rig& r) { r.device.deliver = LateOnce(kCmdWrite, 1); }, kSuccess,
       "G W0 W1 W0 W1 R0 R1 C"},
      {3072, Change(kCmdRead, 1, 1, WrongByte), kVerifyFailed, "G W0 W1 W2 R0 R1"},
      {100, [](Rig& r) { r.device.failSend = 4; }, kSendFailed, "G W0 R0 C", "send: Broken pipe"},
      // A hang-up ends the download where it is found, not after six tries, nor in a completion
      // frame that the half-closed socket would still take.
      {100,
       [](Rig& r) {
         Change(kCmdGreeting, -1, 1, [](Bytes& answer) { answer.clear(); })(r);
         r.device.hangUpAfter = 1;
       },
       kSendFailed, "G", "device closed the connection"},
      {2048, [](Rig& r) { r.device.hangUpAfter = 5; }, kSendFailed, "G W0 W1 R0 R1",
       "device closed the connection before the completion frame"},
  };
  for (const auto& [size, setup, outcome, trace, detail] : scripts) {
    SCOPED_TRACE(trace);
    Rig rig;
    setup(rig);
    const DownloadReport report = rig.Run(size);
    EXPECT_EQ(report.outcome, outcome);
    EXPECT_EQ(rig.device.Trace(), trace);
    EXPECT_EQ(rig.ui.events.back(), "message " + std::string(op::MessageFor(outcome)));
    EXPECT_EQ(rig.resets, 1);
    if (outcome == kSendFailed) {
      EXPECT_EQ(report.detail, detail);
    }
  }
}

TEST(Download, ExceptionInside_StillResetsTheConnectionAndIsPassedOn) {
  Rig rig;
  Change(kCmdWrite, 0, 1, [](Bytes&) { throw std::bad_alloc(); })(rig);
  EXPECT_THROW(rig.Run(100), std::bad_alloc);
  EXPECT_EQ(rig.resets, 1);
  EXPECT_EQ(rig.ui.events.back(), "message 下载失败！");
}

TEST(Download, Files_UpTo256KiBAreSentAndOthersRefusedBeforeTheDeviceIsContacted) {
  TempDir dir;
  Rig largest;
  EXPECT_EQ(
      largest.Run(image::LoadFirmware(dir.Write("max.bin", std::string(262144, 'x')))).outcome,
      op::Outcome::kSuccess);
  ASSERT_EQ(largest.device.sent.size(), 1u + 256 + 256 + 1);
  EXPECT_EQ(largest.device.sent[256].bytes[6], 0xFF);
  const std::pair<std::filesystem::path, std::string> refused[] = {
      {"", "文件不存在！"},
      {dir.path() / "absent.bin", "文件不存在！"},
      {dir.path(), "文件读取失败！"},
      {dir.Write("big.bin", std::string(262145, 'x')), "文件过大，不能超过256KB！"},
  };
  for (const auto& [path, message] : refused) {
    Rig rig;
    rig.Run(image::LoadFirmware(path));
    EXPECT_THAT(rig.ui.events, ElementsAre("message " + message)) << path;
    EXPECT_TRUE(rig.device.sent.empty());
    EXPECT_EQ(rig.resets, 0);
  }
}

}  // namespace
}  // namespace quento::protocol
