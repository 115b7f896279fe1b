#include "protocol/download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/texts.h"
#include "support/recording_feedback.h"
#include "support/run_to_end.h"
#include "support/scripted_device.h"
#include "support/temp_dir.h"

namespace quento::protocol {
namespace {

using quento::testing::Bytes;
using quento::testing::ScriptedDevice;
using quento::testing::SentFrame;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 31 + 7) % 251);
  return data;
}

Bytes PatternBytes(std::size_t size) {
  const std::string data = Pattern(size);
  return Bytes(data.begin(), data.end());
}

class DownloadTest : public ::testing::Test {
 protected:
  // Runs a download of `size` pattern bytes against the fake device, without real pauses.
  DownloadReport Run(std::size_t size) { return RunFile(dir.Write("fw.bin", Pattern(size))); }

  DownloadReport RunFile(const std::filesystem::path& path) {
    DownloadOptions options;
    options.pause = [this](std::chrono::milliseconds d) -> asio::awaitable<void> {
      pauses.push_back(d.count());
      co_return;
    };
    options.cancel = &cancel;
    return quento::testing::RunToEnd(RunDownload(
        image::LoadFirmware(path), device, ui, [this] { ++resets; }, options));
  }

  // Fails the first `times` writes of `block`.
  void RefuseWrite(int block, int times) {
    device.reply = [this, block, times, count = 0](const SentFrame& f) mutable {
      if (f.command == kCmdWrite && f.block == block && count++ < times) {
        return quento::testing::Refusal(kCmdWrite);
      }
      return device.Healthy(f);
    };
  }

  quento::testing::TempDir dir;
  ScriptedDevice device;
  quento::testing::RecordingFeedback ui;
  std::vector<long> pauses;
  std::atomic<bool> cancel{false};
  int resets = 0;
};

TEST_F(DownloadTest, HealthyDevice_GetsEveryBlockAndHoldsTheImage) {
  const DownloadReport report = Run(1500);
  EXPECT_EQ(report.outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G W0 W1 R0 R1 C");
  EXPECT_EQ(device.Image(), PatternBytes(1500));
  EXPECT_EQ(report.bytes, 1500);
  EXPECT_EQ(report.blocks, 2);
  EXPECT_EQ(resets, 1);
  EXPECT_THAT(ui.messages, ElementsAre(std::string(text::kSuccess)));
  EXPECT_EQ(ui.status, text::kSuccess);
}

TEST_F(DownloadTest, ScreenChangesInTheOperatorsOrder) {
  Run(10);
  EXPECT_THAT(ui.events, ElementsAre("enable 1004 off", "enable 1002 off", "enable 1005 off",
                                     "range 6", "step 3", "push", "status 正在下载中，请稍后……",
                                     "pos 6", "status 下载成功！", "message 下载成功！"));
}

TEST_F(DownloadTest, EveryExchangePausesThreeHundredThenFifty_CompletionNone) {
  Run(1025);
  std::vector<long> expected;
  for (int exchange = 0; exchange < 5; ++exchange) expected.insert(expected.end(), {300, 50});
  EXPECT_EQ(pauses, expected);
}

TEST_F(DownloadTest, FramesCarryTheMaskedImageAndTheLastBlockItsOwnSize) {
  Run(1025);
  ASSERT_EQ(device.sent.size(), 6u);
  const Bytes& last = device.sent[2].bytes;
  ASSERT_EQ(last.size(), 9u);
  EXPECT_EQ(last[4], 0x00);
  EXPECT_EQ(last[5], 0x01);
  EXPECT_EQ(last[7], static_cast<std::uint8_t>(Pattern(1025)[1024]) ^ 0xA7);
  EXPECT_EQ(device.sent[4].bytes, (Bytes{0x12, 0x34, 0x56, 0x79, 0x00, 0x01, 0x01}));
}

TEST_F(DownloadTest, ProgressIsHalfAfterWritingAndFullAfterTheLastReadBack) {
  int afterWrites = -1;
  device.reply = [&](const SentFrame& f) {
    if (f.command == kCmdRead && f.block == 0) afterWrites = ui.position;
    return device.Healthy(f);
  };
  Run(4 * 1024);
  EXPECT_EQ(ui.range, 24);
  EXPECT_EQ(afterWrites, 12);
  EXPECT_THAT(ui.events, ::testing::Contains("pos 24"));
}

TEST_F(DownloadTest, GreetingAnsweredOnThirdAttempt_Proceeds) {
  device.reply = [&, greetings = 0](const SentFrame& f) mutable -> Bytes {
    if (f.command == kCmdGreeting && ++greetings < 3) return {};
    return device.Healthy(f);
  };
  EXPECT_EQ(Run(100).outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G G G W0 R0 C");
}

TEST_F(DownloadTest, SilentDevice_SixGreetingsThenNoResponse) {
  device.reply = [](const SentFrame&) { return Bytes{}; };
  const DownloadReport report = Run(100);
  EXPECT_EQ(report.outcome, Outcome::kNoResponse);
  EXPECT_EQ(device.Trace(), "G G G G G G");
  EXPECT_EQ(ui.status, text::kFailedStatus);
  EXPECT_THAT(ui.messages, ElementsAre("下载失败，固件无响应！"));
  EXPECT_EQ(resets, 1);
}

TEST_F(DownloadTest, Block0NeverAcknowledged_SixAttemptsAndFiveSteps) {
  RefuseWrite(0, 100);
  EXPECT_EQ(Run(3000).outcome, Outcome::kNoResponse);
  EXPECT_EQ(device.Trace(), "G W0 W0 W0 W0 W0 W0");
  EXPECT_EQ(ui.steps, 5);
}

TEST_F(DownloadTest, FirstOfPairUnacknowledgedOnce_ResendsOnlyThatBlock) {
  RefuseWrite(2, 1);
  EXPECT_EQ(Run(4 * 1024).outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G W0 W1 W2 W2 W3 R0 R1 R2 R3 C");
}

TEST_F(DownloadTest, SecondOfPairUnacknowledgedOnce_ResendsPair) {
  RefuseWrite(3, 1);
  const DownloadReport report = Run(4 * 1024);
  EXPECT_EQ(report.outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G W0 W1 W2 W3 W2 W3 R0 R1 R2 R3 C");
  EXPECT_EQ(report.write_retries, 1);
}

TEST_F(DownloadTest, SecondOfPairNeverAcknowledged_EndsInsteadOfLoopingForEver) {
  RefuseWrite(1, 1000);
  const DownloadReport report = Run(2 * 1024);
  EXPECT_EQ(report.outcome, Outcome::kNoResponse);
  EXPECT_EQ(device.Trace(), "G W0 W1 W0 W1 W0 W1 W0 W1 W0 W1 W0 W1");
  EXPECT_THAT(ui.messages, ElementsAre("下载失败，固件无响应！"));
}

TEST_F(DownloadTest, SecondOfPairRefusedFiveTimes_StillSucceeds) {
  RefuseWrite(1, 5);
  EXPECT_EQ(Run(2 * 1024).outcome, Outcome::kSuccess);
}

TEST_F(DownloadTest, WrongReadBackIndex_RequestsTheSameBlockAgain) {
  device.reply = [&, wrong = 0](const SentFrame& f) mutable {
    Bytes answer = device.Healthy(f);
    if (f.command == kCmdRead && f.block == 1 && wrong++ < 2) answer[6] = 7;
    return answer;
  };
  const DownloadReport report = Run(2 * 1024);
  EXPECT_EQ(report.outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G W0 W1 R0 R1 R1 R1 C");
  EXPECT_EQ(report.read_retries, 2);
}

TEST_F(DownloadTest, SixWrongReadBackIndexes_NoResponse) {
  device.reply = [&](const SentFrame& f) {
    Bytes answer = device.Healthy(f);
    if (f.command == kCmdRead) answer[6] ^= 1;
    return answer;
  };
  EXPECT_EQ(Run(1024).outcome, Outcome::kNoResponse);
  EXPECT_EQ(device.Trace(), "G W0 R0 R0 R0 R0 R0 R0");
}

TEST_F(DownloadTest, OneDifferingByte_FailsVerifyAtOnceAndNamesTheOffset) {
  device.reply = [&](const SentFrame& f) {
    Bytes answer = device.Healthy(f);
    if (f.command == kCmdRead && f.block == 1) answer[7 + 6] ^= 0x10;
    return answer;
  };
  const DownloadReport report = Run(3 * 1024);
  EXPECT_EQ(report.outcome, Outcome::kVerifyFailed);
  EXPECT_EQ(report.first_difference, 1030u);
  EXPECT_EQ(device.Trace(), "G W0 W1 W2 R0 R1");
  EXPECT_THAT(ui.messages, ElementsAre("下载失败，上传校验时出错！"));
}

TEST_F(DownloadTest, ReadBackCutShort_MissingBytesReadAsZeroAndFailVerify) {
  device.deliver = [](const SentFrame& f, std::size_t size) {
    return f.command == kCmdRead ? size - 100 : size;
  };
  EXPECT_EQ(Run(1024).outcome, Outcome::kVerifyFailed);
}

TEST_F(DownloadTest, LateGreetingEcho_IsNotTakenAsTheNextAnswer) {
  device.reply = [](const SentFrame&) { return Bytes{}; };
  device.lateReply = [](const SentFrame& f) {
    return f.command == kCmdGreeting ? Bytes{0x12, 0x34, 0x56, 0x7B, 0, 0} : Bytes{};
  };
  EXPECT_EQ(Run(10).outcome, Outcome::kNoResponse);
  EXPECT_EQ(device.discards, 6);
}

TEST_F(DownloadTest, LateAckForResentBlock_DoesNotAcknowledgeTheNextBlock) {
  // Block 0's first ack comes too late; block 1 is refused once. Taking the stale ack as the
  // answer to the re-sent block 0 would shift every answer by one and pass block 1 unheard.
  device.reply = [&, first = true, refused = false](const SentFrame& f) mutable -> Bytes {
    if (f.command == kCmdWrite && f.block == 0 && first) {
      first = false;
      return {};
    }
    if (f.command == kCmdWrite && f.block == 1 && !refused) {
      refused = true;
      return quento::testing::Refusal(kCmdWrite);
    }
    return device.Healthy(f);
  };
  device.lateReply = [first = true](const SentFrame& f) mutable {
    if (f.command == kCmdWrite && first) {
      first = false;
      return Bytes{0x12, 0x34, 0x56, 0x78, 0, 0};
    }
    return Bytes{};
  };
  EXPECT_EQ(Run(2048).outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G W0 W0 W1 W0 W1 R0 R1 C");
}

TEST_F(DownloadTest, EmptyFile_GreetsAndCompletesAtOnce) {
  const DownloadReport report = Run(0);
  EXPECT_EQ(report.outcome, Outcome::kSuccess);
  EXPECT_EQ(device.Trace(), "G C");
  EXPECT_EQ(ui.range, 0);
}

TEST_F(DownloadTest, SingleBlock_ReadBackFillsTheBarAtOnce) {
  Run(1);
  EXPECT_EQ(ui.range, 6);
  EXPECT_EQ(ui.steps, 1);  // the write; the read-back sets the position
  EXPECT_THAT(ui.events, ::testing::Contains("pos 6"));
}

TEST_F(DownloadTest, LargestImage_256BlocksEndingWithIndexFF) {
  const DownloadReport report = Run(262144);
  EXPECT_EQ(report.outcome, Outcome::kSuccess);
  ASSERT_EQ(device.sent.size(), 1u + 256 + 256 + 1);
  EXPECT_EQ(device.sent[256].bytes[6], 0xFF);
  EXPECT_EQ(ui.range, 1536);
  EXPECT_EQ(device.Image().size(), 262144u);
}

TEST_F(DownloadTest, UnusableFiles_AreRefusedBeforeAnythingChanges) {
  struct Case {
    std::filesystem::path path;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "文件不存在！"},
      {dir.path() / "absent.bin", "文件不存在！"},
      {dir.path(), "文件读取失败！"},
      {dir.Write("big.bin", std::string(262145, 'x')), "文件过大，不能超过256KB！"},
  };
  for (const Case& c : cases) {
    ui = {};
    RunFile(c.path);
    EXPECT_THAT(ui.events, ElementsAre("message " + c.message)) << c.path;
  }
  EXPECT_TRUE(device.sent.empty());
  EXPECT_EQ(resets, 0);
}

TEST_F(DownloadTest, SendFailure_ReportsTheAddressTextAndTheSystemsWords) {
  device.failSend = 2;  // block 0
  const DownloadReport report = Run(100);
  EXPECT_EQ(report.outcome, Outcome::kSendFailed);
  EXPECT_EQ(report.detail, "send: Broken pipe");
  EXPECT_THAT(ui.messages, ElementsAre("下载失败，请确认IP地址是否正确！"));
  EXPECT_EQ(resets, 1);
}

TEST_F(DownloadTest, ExceptionInsideTheDownload_StillResetsTheConnectionAndIsPassedOn) {
  device.throwOnSend = 2;
  EXPECT_THROW(Run(100), std::bad_alloc);
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(ui.status, text::kFailedStatus);
  EXPECT_THAT(ui.messages, ElementsAre("下载失败！"));
}

TEST_F(DownloadTest, CompletionNotSent_IsNotReportedAsSuccess) {
  device.failSend = 4;  // G W0 R0 C
  EXPECT_EQ(Run(100).outcome, Outcome::kSendFailed);
}

TEST_F(DownloadTest, Cancelled_StopsAtTheNextExchangeWithoutAMessage) {
  device.reply = [&](const SentFrame& f) {
    if (f.command == kCmdWrite && f.block == 1) cancel = true;
    return device.Healthy(f);
  };
  EXPECT_EQ(Run(4096).outcome, Outcome::kCancelled);
  EXPECT_EQ(device.Trace(), "G W0 W1");
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(resets, 1);
}

TEST_F(DownloadTest, SecondDownload_LoadsAndMasksTheFileAfresh) {
  const auto path = dir.Write("fw.bin", Pattern(300));
  RunFile(path);
  device.stored.clear();
  RunFile(path);
  EXPECT_EQ(device.Image(), PatternBytes(300));
  EXPECT_EQ(dir.Read("fw.bin"), Pattern(300));
}

}  // namespace
}  // namespace quento::protocol
