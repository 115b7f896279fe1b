// The whole download against a device whose every answer the fuzzer chooses: healthy, damaged,
// arbitrary, partial, late, missing, or a failed send. The fake never blocks; a receive that
// would time out returns what has arrived.
#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "../support/run_to_end.h"
#include "fuzz_check.h"
#include "image/firmware_image.h"
#include "protocol/download.h"
#include "protocol/frames.h"
#include "protocol/texts.h"

namespace {

using namespace quento;
using namespace quento::protocol;
using Bytes = std::vector<std::uint8_t>;

class SilentScreen final : public NoScreen {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }

  std::vector<std::string> messages;
};

enum class Answer : std::uint8_t { kHealthy, kDamaged, kArbitrary, kPartial, kLate, kNone, kFail };

class FuzzedDevice final : public Transport {
 public:
  explicit FuzzedDevice(FuzzedDataProvider& input) : m_input(input) {}

  asio::awaitable<bool> Send(std::span<const std::uint8_t> frame) override {
    co_return SendNow(frame);
  }

  bool SendNow(std::span<const std::uint8_t> frame) {
    ++sends;
    QUENTO_FUZZ_REQUIRE(frame.size() >= kShortFrameSize && frame.size() <= kMaxFrameSize);
    m_lastCommand = frame[3];
    m_lastBlock = frame.size() >= kReadRequestSize ? frame[6] : -1;
    m_lastLength = frame.size() >= kReadRequestSize ? (frame[4] << 8) | frame[5] : 0;
    if (m_lastCommand == kCmdComplete) {
      if (m_input.ConsumeIntegralInRange<int>(0, 15) == 0) return false;
      completed = true;
      return true;
    }
    QUENTO_FUZZ_REQUIRE(!completed);
    const auto answer = static_cast<Answer>(m_input.ConsumeIntegralInRange<int>(0, 6));
    if (answer == Answer::kFail) return false;
    Bytes reply = Healthy(frame);
    switch (answer) {
      case Answer::kDamaged:
        if (!reply.empty()) {
          const std::size_t at = m_input.ConsumeIntegralInRange<std::size_t>(0, reply.size() - 1);
          reply[at] ^= m_input.ConsumeIntegralInRange<std::uint8_t>(1, 255);
        }
        break;
      case Answer::kArbitrary:
        reply = m_input.ConsumeBytes<std::uint8_t>(
            m_input.ConsumeIntegralInRange<std::size_t>(0, kMaxFrameSize + 16));
        break;
      case Answer::kNone:
        reply.clear();
        break;
      default:
        break;
    }
    std::size_t now = reply.size();
    if (answer == Answer::kPartial || answer == Answer::kLate) {
      now = m_input.ConsumeIntegralInRange<std::size_t>(0, reply.size());
    }
    m_ready.insert(m_ready.end(), reply.begin(), reply.begin() + static_cast<long>(now));
    if (answer == Answer::kLate) {
      m_late.insert(m_late.end(), reply.begin() + static_cast<long>(now), reply.end());
    }
    return true;
  }

  asio::awaitable<std::size_t> Receive(std::span<std::uint8_t> reply,
                                       std::chrono::milliseconds) override {
    co_return ReceiveNow(reply);
  }

  std::size_t ReceiveNow(std::span<std::uint8_t> reply) {
    ++receives;
    // A reply can also come in several pieces before the time-out.
    const std::size_t n =
        std::min({reply.size(), m_ready.size(),
                  m_input.ConsumeBool() ? m_ready.size() : m_input.ConsumeIntegral<std::size_t>()});
    std::copy_n(m_ready.begin(), n, reply.begin());
    m_ready.erase(m_ready.begin(), m_ready.begin() + static_cast<long>(n));
    m_ready.insert(m_ready.end(), m_late.begin(), m_late.end());
    m_late.clear();
    if (m_lastCommand == kCmdRead) {
      // What the download's buffer holds now: it clears the buffer before every request.
      Bytes seen(reply.begin(), reply.begin() + static_cast<long>(n));
      seen.resize(reply.size(), 0);
      readReplies[m_lastBlock] = std::move(seen);
    }
    return n;
  }

  void DiscardPending() override {
    ++discards;
    m_ready.clear();
  }

  int sends = 0;
  int receives = 0;
  int discards = 0;
  bool completed = false;
  // Block -> the last read reply the download received for it, as its buffer held it.
  std::map<int, Bytes> readReplies;

 private:
  Bytes Healthy(std::span<const std::uint8_t> frame) {
    Bytes out(kMaxFrameSize);
    switch (frame[3]) {
      case kCmdGreeting:
        out.resize(BuildGreetingEcho(out));
        return out;
      case kCmdWrite:
        m_stored[frame[6]] = Bytes(frame.begin() + kDataOffset, frame.end() - 1);
        out.resize(BuildWriteAck(out));
        return out;
      case kCmdRead: {
        Bytes data = m_stored[frame[6]];
        data.resize(static_cast<std::size_t>(m_lastLength), 0xFF);
        out.resize(BuildBlockReadReply(out, frame[6], data));
        return out;
      }
      default:
        return {};
    }
  }

  FuzzedDataProvider& m_input;
  std::deque<std::uint8_t> m_ready;
  Bytes m_late;
  std::map<int, Bytes> m_stored;
  std::uint8_t m_lastCommand = 0;
  int m_lastBlock = -1;
  int m_lastLength = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Small images keep each run short; the block loops are the same for 3 blocks or 256.
  const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 5 * image::kBlockSize);
  const auto seed = input.ConsumeIntegral<std::uint8_t>();
  Bytes file(length);
  for (std::size_t i = 0; i < length; ++i) file[i] = static_cast<std::uint8_t>(i * 7 + seed);

  image::FirmwareImage masked(file);
  masked.Mask();

  FuzzedDevice device(input);
  SilentScreen screen;
  int resets = 0;
  DownloadOptions options;
  options.pause = NoPause;
  // One event loop for every input: making one is far dearer than a whole download here.
  static asio::io_context io;
  const DownloadReport report = quento::testing::RunToEnd(
      io, RunDownload(
              image::LoadResult{image::LoadStatus::kOk, image::FirmwareImage(file)}, device, screen,
              [&resets] { ++resets; }, options));

  const int blocks = masked.block_count();
  QUENTO_FUZZ_REQUIRE(report.blocks == blocks);
  // Every exchange that can fail is retried a fixed number of times, and a refused second
  // block of a pair costs at most kRetryLimit re-sends of the pair before the download gives up.
  const int bound =
      kGreetingAttempts + blocks * (2 * kRetryLimit * (kRetryLimit + 2)) + blocks * kRetryLimit + 1;
  QUENTO_FUZZ_REQUIRE(device.sends <= bound);
  QUENTO_FUZZ_REQUIRE(device.receives <= device.sends);
  QUENTO_FUZZ_REQUIRE(resets == 1);
  QUENTO_FUZZ_REQUIRE(screen.messages.size() == 1);
  QUENTO_FUZZ_REQUIRE(screen.messages[0] == MessageFor(report.outcome));

  switch (report.outcome) {
    case Outcome::kSuccess: {
      QUENTO_FUZZ_REQUIRE(screen.messages[0] == text::kSuccess);
      QUENTO_FUZZ_REQUIRE(device.completed);
      // Success only when what came back for every block is the masked image's block.
      for (int b = 0; b < blocks; ++b) {
        const auto it = device.readReplies.find(b);
        QUENTO_FUZZ_REQUIRE(it != device.readReplies.end());
        const Bytes& reply = it->second;
        const auto expected = masked.BlockData(b);
        QUENTO_FUZZ_REQUIRE(reply.size() == BlockReadReplySize(expected.size()));
        QUENTO_FUZZ_REQUIRE(IsBlockReadReply(reply, static_cast<unsigned>(b)));
        QUENTO_FUZZ_REQUIRE(
            std::equal(expected.begin(), expected.end(), reply.begin() + kDataOffset));
      }
      break;
    }
    case Outcome::kVerifyFailed:
      QUENTO_FUZZ_REQUIRE(report.first_difference.has_value());
      QUENTO_FUZZ_REQUIRE(*report.first_difference < length);
      QUENTO_FUZZ_REQUIRE(!device.completed);
      break;
    case Outcome::kNoResponse:
      QUENTO_FUZZ_REQUIRE(!device.completed);
      break;
    case Outcome::kSendFailed:
      break;
    default:
      QUENTO_FUZZ_REQUIRE(false && "an outcome a download cannot have");
  }
  return 0;
}
