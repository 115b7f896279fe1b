// The whole download against a device whose every answer the fuzzer chooses: healthy, damaged,
// arbitrary, cut short, late or missing; and which send fails, if any.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "protocol/download.h"
#include "protocol/frame_parser.h"
#include "support/recording_feedback.h"
#include "support/run_to_end.h"
#include "support/scripted_device.h"

using namespace quento;
using namespace quento::protocol;
using namespace quento::testing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Small images keep each run short; the block loops are the same for 3 blocks or 256.
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(1, 5 * kBlockSize);
  const Bytes file = Pattern(length, input.ConsumeIntegral<std::uint8_t>());
  image::FirmwareImage masked(file);
  masked.Mask();

  ScriptedDevice device;
  device.failSend = input.ConsumeIntegral<std::uint16_t>();
  device.reply = [&input](const SentFrame&, Bytes answer) {
    const int kind = input.ConsumeIntegralInRange<int>(0, 3);
    if (kind == 1 && !answer.empty()) {
      const auto at = input.ConsumeIntegralInRange<std::size_t>(0, answer.size() - 1);
      answer[at] ^= input.ConsumeIntegralInRange<std::uint8_t>(1, 255);
    } else if (kind == 2) {
      answer = input.ConsumeBytes<std::uint8_t>(
          input.ConsumeIntegralInRange<std::size_t>(0, kMaxFrameSize + 16));
    } else if (kind == 3) {
      answer.resize(input.ConsumeIntegralInRange<std::size_t>(0, answer.size()));
    }
    return answer;
  };
  device.deliver = [&input](const SentFrame&, std::size_t n) {
    return input.ConsumeBool() ? input.ConsumeIntegralInRange<std::size_t>(0, n) : n;
  };
  RecordingFeedback screen;
  int resets = 0;
  // One event loop for every input: making one is far dearer than a whole download here.
  static asio::io_context io;
  const DownloadReport report =
      RunToEnd(io, RunDownload({image::LoadStatus::kOk, image::FirmwareImage(file)}, device, screen,
                               [&resets] { ++resets; }, {.pause = NoPause}));

  const int blocks = masked.blockCount();
  QUENTO_FUZZ_REQUIRE(report.blocks == blocks && resets == 1);
  // Every exchange is retried a fixed number of times, and a refused second block of a pair
  // costs at most kRetryLimit re-sends of the pair.
  const int most = kGreetingAttempts + blocks * (2 * kRetryLimit * (kRetryLimit + 2) + kRetryLimit);
  QUENTO_FUZZ_REQUIRE(static_cast<int>(device.sent.size()) <= most + 1);
  const std::string message = "message " + std::string(op::MessageFor(report.outcome));
  QUENTO_FUZZ_REQUIRE(std::count(screen.events.begin(), screen.events.end(), message) == 1);
  QUENTO_FUZZ_REQUIRE(screen.events.back() == message);
  // Every frame is well formed, and the completion comes last or not at all.
  std::map<int, Bytes> readBack;  // block -> the last reply to its read request
  for (const SentFrame& f : device.sent) {
    const auto frames = FrameParser().Feed(f.bytes);
    QUENTO_FUZZ_REQUIRE(frames.size() == 1 && frames[0].ok());
    QUENTO_FUZZ_REQUIRE(f.command != kCmdComplete || &f == &device.sent.back());
    if (f.command == kCmdRead) readBack[f.block] = f.received;
  }
  const bool sendFailed = device.failSend == device.sent.size();
  const bool completed = device.sent.back().command == kCmdComplete && !sendFailed;
  QUENTO_FUZZ_REQUIRE((report.outcome == op::Outcome::kSuccess) == completed);
  QUENTO_FUZZ_REQUIRE((report.outcome == op::Outcome::kSendFailed) == sendFailed);
  const bool differs = report.firstDifference.value_or(length) < length;
  QUENTO_FUZZ_REQUIRE((report.outcome == op::Outcome::kVerifyFailed) == differs);
  // Success only when what came back for every block, as the download's cleared buffer held
  // it, is the masked image's block.
  for (int b = 0; completed && b < blocks; ++b) {
    const auto expected = masked.BlockData(b);
    Bytes& reply = readBack[b];
    reply.resize(BlockReadReplySize(expected.size()));
    QUENTO_FUZZ_REQUIRE(IsBlockReadReply(reply, static_cast<unsigned>(b)));
    QUENTO_FUZZ_REQUIRE(std::equal(expected.begin(), expected.end(), reply.begin() + 7));
  }
  return 0;
}
