#include "protocol/download.h"

#include <array>
#include <thread>

#include "image/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/texts.h"

namespace quento::protocol {

void SleepPause(std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }

namespace {

// One download's state. Buffers are fixed and reused: nothing is allocated per block.
class Download {
 public:
  Download(Transport& link, OperatorFeedback& ui, const DownloadOptions& options,
           image::FirmwareImage image)
      : m_link(link), m_ui(ui), m_options(options), m_image(std::move(image)) {
    m_report.bytes = m_image.file_length();
    m_report.blocks = m_image.block_count();
  }

  DownloadReport Run() {
    const int blocks = m_image.block_count();
    m_ui.SetProgressRange(static_cast<std::uint16_t>(kProgressPerBlock * blocks));
    m_ui.SetProgressStep(kProgressStep);
    m_ui.PushMembersToControls();
    m_image.Mask();
    m_ui.SetStatus(text::kDownloading);

    Outcome outcome = Greet();
    if (outcome == Outcome::kSuccess) outcome = WriteBlocks();
    if (outcome == Outcome::kSuccess) outcome = VerifyBlocks();
    if (outcome == Outcome::kSuccess) outcome = Complete();
    m_report.outcome = outcome;
    Report(outcome);
    return m_report;
  }

 private:
  bool Cancelled() const { return m_options.cancel != nullptr && m_options.cancel->load(); }

  void Notify(Phase phase) {
    if (m_options.observer != nullptr) m_options.observer->OnPhase(phase, m_image.block_count());
  }
  void NotifyBlock(Phase phase, int block) {
    if (m_options.observer != nullptr) m_options.observer->OnBlockDone(phase, block);
  }

  // Sends a frame that expects a reply and takes the pause that follows it. Anything the device
  // sent before (a late reply, trailing bytes) is dropped first, so it cannot pass for the answer
  // to this frame.
  bool SendForReply(std::span<const std::uint8_t> frame) {
    m_link.DiscardPending();
    const bool sent = m_link.Send(frame);
    m_options.pause(kPauseAfterSend);
    return sent;
  }

  void ReceiveReply(std::span<std::uint8_t> reply) {
    m_link.Receive(reply, kReceiveTimeout);
    m_options.pause(kPauseAfterReceive);
  }

  Outcome Greet() {
    Notify(Phase::kGreeting);
    std::array<std::uint8_t, kShortFrameSize> greeting{};
    BuildGreeting(greeting);
    // Cleared once: a partial echo from one attempt may be completed by the next.
    std::array<std::uint8_t, kShortReplySize> echo{};
    for (int attempt = 0; attempt < kGreetingAttempts; ++attempt) {
      if (Cancelled()) return Outcome::kCancelled;
      if (!SendForReply(greeting)) return Outcome::kSendFailed;
      ReceiveReply(echo);
      if (IsGreetingEcho(echo)) return Outcome::kSuccess;
    }
    return Outcome::kNoResponse;
  }

  Outcome WriteBlocks() {
    const int blocks = m_image.block_count();
    if (blocks == 0) return Outcome::kSuccess;
    Notify(Phase::kWriting);
    std::array<std::uint8_t, kShortReplySize> ack{};
    int block = 0;
    int retries = 0;
    // Every acknowledgement clears `retries`, so a device that always takes the first block of
    // a pair and never the second would have the pair re-sent for ever. The second block's
    // failures are therefore also counted until the download gets past the pair.
    int pairFailures = 0;
    int furthest = 0;
    while (block < blocks) {
      if (Cancelled()) return Outcome::kCancelled;
      ack.fill(0);
      const std::size_t size =
          BuildBlockWrite(m_frame, static_cast<unsigned>(block), m_image.BlockData(block));
      if (!SendForReply(std::span(m_frame).first(size))) return Outcome::kSendFailed;
      ReceiveReply(ack);
      if (IsWriteAck(ack)) {
        retries = 0;
        m_ui.StepProgress();
        NotifyBlock(Phase::kWriting, block);
        if (++block > furthest) {
          furthest = block;
          pairFailures = 0;
        }
        continue;
      }
      ++m_report.write_retries;
      const bool secondOfPair = block % 2 == 1;
      if (++retries == kRetryLimit) return Outcome::kNoResponse;
      if (secondOfPair && ++pairFailures == kRetryLimit) return Outcome::kNoResponse;
      m_ui.StepProgress();
      // Blocks travel in pairs: when the second is refused, the first goes again too.
      if (secondOfPair) --block;
    }
    return Outcome::kSuccess;
  }

  Outcome VerifyBlocks() {
    const int blocks = m_image.block_count();
    if (blocks == 0) return Outcome::kSuccess;
    Notify(Phase::kVerifying);
    std::array<std::uint8_t, kReadRequestSize> request{};
    int block = 0;
    int retries = 0;
    while (block < blocks) {
      if (Cancelled()) return Outcome::kCancelled;
      const image::BlockView view = m_image.Block(block);
      const auto reply = std::span(m_reply).first(BlockReadReplySize(view.size));
      std::fill(reply.begin(), reply.end(), 0);
      BuildBlockRead(request, static_cast<unsigned>(block), view.size);
      if (!SendForReply(request)) return Outcome::kSendFailed;
      ReceiveReply(reply);
      if (IsBlockReadReply(reply, static_cast<unsigned>(block))) {
        retries = 0;
        const auto expected = m_image.BlockData(block);
        const auto data = reply.subspan(kDataOffset, view.size);
        const auto [mine, theirs] = std::mismatch(expected.begin(), expected.end(), data.begin());
        if (mine != expected.end()) {
          m_report.first_difference =
              view.offset + static_cast<std::size_t>(mine - expected.begin());
          return Outcome::kVerifyFailed;
        }
        UpdateReadProgress(block);
        NotifyBlock(Phase::kVerifying, block);
        ++block;
        continue;
      }
      ++m_report.read_retries;
      if (++retries == kRetryLimit) return Outcome::kNoResponse;
      UpdateReadProgress(block);
    }
    return Outcome::kSuccess;
  }

  // The last block's read-back puts the bar at its full range whatever retries stepped before.
  void UpdateReadProgress(int block) {
    const int blocks = m_image.block_count();
    if (block == blocks - 1) {
      m_ui.SetProgressPos(kProgressPerBlock * blocks);
    } else {
      m_ui.StepProgress();
    }
  }

  Outcome Complete() {
    Notify(Phase::kCompleting);
    std::array<std::uint8_t, kShortFrameSize> completion{};
    BuildCompletion(completion);
    // No reply is read and no pause follows. A device that never got the completion frame has
    // not taken the image, so a failed send is not success.
    return m_link.Send(completion) ? Outcome::kSuccess : Outcome::kSendFailed;
  }

  void Report(Outcome outcome) {
    if (outcome == Outcome::kCancelled) return;
    m_ui.SetStatus(outcome == Outcome::kSuccess ? text::kSuccess : text::kFailedStatus);
    m_ui.ShowMessage(MessageFor(outcome));
  }

  Transport& m_link;
  OperatorFeedback& m_ui;
  const DownloadOptions& m_options;
  image::FirmwareImage m_image;
  DownloadReport m_report;
  std::array<std::uint8_t, kMaxFrameSize> m_frame{};
  std::array<std::uint8_t, kMaxFrameSize> m_reply{};
};

}  // namespace

Outcome FileCheckOutcome(image::LoadStatus status) {
  switch (status) {
    case image::LoadStatus::kOk:
      return Outcome::kSuccess;
    case image::LoadStatus::kMissing:
      return Outcome::kFileMissing;
    case image::LoadStatus::kUnreadable:
      return Outcome::kFileUnreadable;
    case image::LoadStatus::kTooLarge:
      return Outcome::kFileTooLarge;
  }
  return Outcome::kFileUnreadable;
}

DownloadReport RunDownload(const std::filesystem::path& firmware, Transport& link,
                           OperatorFeedback& ui, const std::function<void()>& reset_connection,
                           const DownloadOptions& options) {
  // The file is read whole at the check, so a file that cannot be used is refused before the
  // buttons are locked or the device is contacted, and later changes to it do not matter.
  return RunDownload(image::LoadFirmware(firmware), link, ui, reset_connection, options);
}

DownloadReport RunDownload(image::LoadResult loaded, Transport& link, OperatorFeedback& ui,
                           const std::function<void()>& reset_connection,
                           const DownloadOptions& options) {
  if (loaded.status != image::LoadStatus::kOk) {
    DownloadReport report;
    report.outcome = FileCheckOutcome(loaded.status);
    ui.ShowMessage(MessageFor(report.outcome));
    return report;
  }
  ui.EnableButton(Button::kDownload, false);
  ui.EnableButton(Button::kConnect, false);
  ui.EnableButton(Button::kBrowse, false);

  DownloadReport report = Download(link, ui, options, std::move(loaded.image)).Run();
  reset_connection();
  return report;
}

}  // namespace quento::protocol
