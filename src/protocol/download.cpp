#include "protocol/download.h"

#include <algorithm>
#include <array>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "image/firmware_image.h"
#include "operator/texts.h"
#include "protocol/frames.h"

namespace quento::protocol {

asio::awaitable<void> TimerPause(std::chrono::milliseconds duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> NoPause(std::chrono::milliseconds) { co_return; }

namespace {

// What a report says when the device hung up, whichever call found out: a close and a reset
// show up as either, depending only on how far the device's close had got.
constexpr const char* kDeviceClosed = "device closed the connection";
constexpr const char* kClosedBeforeCompletion =
    "device closed the connection before the completion frame";

// One download's state. Buffers are fixed and reused: nothing is allocated per block.
class Download {
 public:
  // `image` is masked and outlives the download.
  Download(Transport& link, op::OperatorFeedback& ui, const DownloadOptions& options,
           const image::FirmwareImage& image, DownloadReport& report)
      : m_report(report),
        m_link(link),
        m_ui(ui),
        m_options(options),
        m_image(image),
        m_buffers(options.buffers != nullptr ? *options.buffers : m_ownBuffers) {
    m_report = DownloadReport{};
    m_report.bytes = m_image.fileLength();
    m_report.blocks = m_image.blockCount();
  }

  // Everything after the image is masked: the exchanges with the device and the report.
  asio::awaitable<void> Run() {
    m_ui.SetStatus(op::text::kDownloading);
    op::Outcome outcome = co_await Greet();
    if (outcome == op::Outcome::kSuccess) outcome = co_await WriteBlocks();
    if (outcome == op::Outcome::kSuccess) outcome = co_await VerifyBlocks();
    if (outcome == op::Outcome::kSuccess) outcome = co_await Complete();
    m_report.outcome = outcome;
    if (outcome == op::Outcome::kSendFailed || outcome == op::Outcome::kNoResponse) {
      if (!m_link.Ended()) {
        m_report.detail = m_link.FailureDetail();
      } else {
        m_report.detail = m_completing ? kClosedBeforeCompletion : kDeviceClosed;
      }
    }
    Report(outcome);
  }

 private:
  bool Cancelled() const { return m_options.cancel != nullptr && m_options.cancel->load(); }

  // Sends a frame that expects a reply and takes the pause that follows it. Anything the device
  // sent before (a late reply, trailing bytes) is dropped first, so it cannot pass for the answer
  // to this frame. False, and nothing sent, once the device has hung up. The frame's buffer, when
  // it was lent, goes back before the pause.
  asio::awaitable<bool> SendForReply(std::span<const std::uint8_t> frame,
                                     FrameBuffers::Lease buffer = {}) {
    m_link.DiscardPending();
    if (m_link.Ended()) co_return false;
    const bool sent = co_await m_link.Send(frame);
    buffer = {};
    co_await m_options.pause(kPauseAfterSend);
    co_return sent;
  }

  asio::awaitable<bool> ReceiveReply(std::span<std::uint8_t> reply) {
    co_await m_link.Receive(reply, kReceiveTimeout);
    co_return co_await AfterReply();
  }

  // False once the device has hung up: trying again could only wait for what cannot come.
  asio::awaitable<bool> AfterReply() {
    if (m_link.Ended()) co_return false;
    co_await m_options.pause(kPauseAfterReceive);
    co_return true;
  }

  enum class ReadBack { kMalformed, kEqual, kDiffers, kHungUp };

  // Receives block `block`'s read-back reply into a lent buffer and compares it there, so that
  // the buffer goes back before the pause that follows.
  asio::awaitable<ReadBack> ReceiveReadBack(int block, const image::BlockView& view) {
    ReadBack verdict = ReadBack::kMalformed;
    {
      const FrameBuffers::Lease buffer = m_buffers.Take();
      const auto reply = std::span(*buffer).first(BlockReadReplySize(view.size));
      std::fill(reply.begin(), reply.end(), 0);
      co_await m_link.Receive(reply, kReceiveTimeout);
      if (IsBlockReadReply(reply, static_cast<unsigned>(block))) {
        const auto expected = m_image.BlockData(block);
        const auto data = reply.subspan(kDataOffset, view.size);
        const auto [mine, theirs] = std::mismatch(expected.begin(), expected.end(), data.begin());
        verdict = mine == expected.end() ? ReadBack::kEqual : ReadBack::kDiffers;
        if (verdict == ReadBack::kDiffers) {
          m_report.firstDifference =
              view.offset + static_cast<std::size_t>(mine - expected.begin());
        }
      }
    }
    if (!co_await AfterReply()) co_return ReadBack::kHungUp;
    co_return verdict;
  }

  asio::awaitable<op::Outcome> Greet() {
    m_ui.EnterPhase(op::Phase::kGreeting, m_image.blockCount());
    std::array<std::uint8_t, kShortFrameSize> greeting{};
    BuildGreeting(greeting);
    // Cleared once: a partial echo from one attempt may be completed by the next.
    std::array<std::uint8_t, kShortReplySize> echo{};
    for (int attempt = 0; attempt < kGreetingAttempts; ++attempt) {
      if (Cancelled()) co_return op::Outcome::kCancelled;
      if (!co_await SendForReply(greeting)) co_return op::Outcome::kSendFailed;
      if (!co_await ReceiveReply(echo)) co_return op::Outcome::kSendFailed;
      if (IsGreetingEcho(echo)) co_return op::Outcome::kSuccess;
    }
    co_return op::Outcome::kNoResponse;
  }

  asio::awaitable<op::Outcome> WriteBlocks() {
    const int blocks = m_image.blockCount();
    if (blocks == 0) co_return op::Outcome::kSuccess;
    m_ui.EnterPhase(op::Phase::kWriting, m_image.blockCount());
    std::array<std::uint8_t, kShortReplySize> ack{};
    int block = 0;
    int retries = 0;
    // Every acknowledgement clears `retries`, so a device that always takes the first block of
    // a pair and never the second would have the pair re-sent for ever. The second block's
    // failures are therefore also counted until the download gets past the pair.
    int pairFailures = 0;
    int furthest = 0;
    while (block < blocks) {
      if (Cancelled()) co_return op::Outcome::kCancelled;
      ack.fill(0);
      FrameBuffers::Lease buffer = m_buffers.Take();
      const std::size_t size =
          BuildBlockWrite(*buffer, static_cast<unsigned>(block), m_image.BlockData(block));
      const auto frame = std::span(*buffer).first(size);
      if (!co_await SendForReply(frame, std::move(buffer))) co_return op::Outcome::kSendFailed;
      if (!co_await ReceiveReply(ack)) co_return op::Outcome::kSendFailed;
      if (IsWriteAck(ack)) {
        retries = 0;
        m_ui.StepProgress();
        m_ui.FinishBlock(op::Phase::kWriting, block);
        if (++block > furthest) {
          furthest = block;
          pairFailures = 0;
        }
        continue;
      }
      ++m_report.writeRetries;
      const bool secondOfPair = block % 2 == 1;
      if (++retries == kRetryLimit) co_return op::Outcome::kNoResponse;
      if (secondOfPair && ++pairFailures == kRetryLimit) co_return op::Outcome::kNoResponse;
      m_ui.StepProgress();
      // Blocks travel in pairs: when the second is refused, the first goes again too.
      if (secondOfPair) --block;
    }
    co_return op::Outcome::kSuccess;
  }

  asio::awaitable<op::Outcome> VerifyBlocks() {
    const int blocks = m_image.blockCount();
    if (blocks == 0) co_return op::Outcome::kSuccess;
    m_ui.EnterPhase(op::Phase::kVerifying, m_image.blockCount());
    std::array<std::uint8_t, kReadRequestSize> request{};
    int block = 0;
    int retries = 0;
    while (block < blocks) {
      if (Cancelled()) co_return op::Outcome::kCancelled;
      const image::BlockView view = m_image.Block(block);
      BuildBlockRead(request, static_cast<unsigned>(block), view.size);
      if (!co_await SendForReply(request)) co_return op::Outcome::kSendFailed;
      const ReadBack verdict = co_await ReceiveReadBack(block, view);
      if (verdict == ReadBack::kHungUp) co_return op::Outcome::kSendFailed;
      if (verdict == ReadBack::kDiffers) co_return op::Outcome::kVerifyFailed;
      if (verdict == ReadBack::kEqual) {
        retries = 0;
        UpdateReadProgress(block);
        m_ui.FinishBlock(op::Phase::kVerifying, block);
        ++block;
        continue;
      }
      ++m_report.readRetries;
      if (++retries == kRetryLimit) co_return op::Outcome::kNoResponse;
      UpdateReadProgress(block);
    }
    co_return op::Outcome::kSuccess;
  }

  // The last block's read-back puts the bar at its full range whatever retries stepped before.
  void UpdateReadProgress(int block) {
    const int blocks = m_image.blockCount();
    if (block == blocks - 1) {
      m_ui.SetProgressPos(kProgressPerBlock * blocks);
    } else {
      m_ui.StepProgress();
    }
  }

  asio::awaitable<op::Outcome> Complete() {
    m_ui.EnterPhase(op::Phase::kCompleting, m_image.blockCount());
    std::array<std::uint8_t, kShortFrameSize> completion{};
    BuildCompletion(completion);
    m_completing = true;
    // No reply is read and no pause follows. A device that never got the completion frame has
    // not taken the image, so a failed send is not success. Nor is a send that succeeds only
    // here, into a connection the device has already closed: look first, without waiting. No
    // reply is due now, so whatever is waiting may go.
    m_link.DiscardPending();
    if (m_link.Ended()) co_return op::Outcome::kSendFailed;
    co_return co_await m_link.Send(completion) ? op::Outcome::kSuccess : op::Outcome::kSendFailed;
  }

  void Report(op::Outcome outcome) {
    if (outcome == op::Outcome::kCancelled) return;
    m_ui.SetStatus(outcome == op::Outcome::kSuccess ? op::text::kSuccess : op::text::kFailedStatus);
    m_ui.ShowMessage(op::MessageFor(outcome));
  }

  DownloadReport& m_report;  // the caller's: ten thousand downloads keep no copy each
  Transport& m_link;
  op::OperatorFeedback& m_ui;
  const DownloadOptions& m_options;
  const image::FirmwareImage& m_image;
  bool m_completing = false;
  // Block-write frames and read-back replies, lent by the caller's downloads or, alone, kept
  // here: taken again for every block, allocated once.
  FrameBuffers m_ownBuffers;
  FrameBuffers& m_buffers;
};

}  // namespace

op::Outcome FileCheckOutcome(image::LoadStatus status) {
  switch (status) {
    case image::LoadStatus::kOk:
      return op::Outcome::kSuccess;
    case image::LoadStatus::kMissing:
      return op::Outcome::kFileMissing;
    case image::LoadStatus::kUnreadable:
      return op::Outcome::kFileUnreadable;
    case image::LoadStatus::kTooLarge:
      return op::Outcome::kFileTooLarge;
  }
  return op::Outcome::kFileUnreadable;
}

namespace {

void LockButtons(op::OperatorFeedback& ui, int blocks) {
  ui.EnableButton(op::Button::kDownload, false);
  ui.EnableButton(op::Button::kConnectDisconnect, false);
  ui.EnableButton(op::Button::kBrowse, false);
  ui.SetProgressRange(static_cast<std::uint16_t>(kProgressPerBlock * blocks));
  ui.SetProgressStep(kProgressStep);
  ui.PushMembersToControls();
}

}  // namespace

asio::awaitable<DownloadReport> RunDownload(image::LoadResult loaded, Transport& link,
                                            op::OperatorFeedback& ui,
                                            std::function<void()> resetConnection,
                                            DownloadOptions options) {
  // The file was read whole at the check, so a file that cannot be used is refused before the
  // buttons are locked or the device is contacted, and later changes to it do not matter.
  if (loaded.status != image::LoadStatus::kOk) {
    DownloadReport report;
    report.outcome = FileCheckOutcome(loaded.status);
    ui.ShowMessage(op::MessageFor(report.outcome));
    co_return report;
  }
  loaded.image.Mask();
  co_return co_await RunDownload(loaded.image, link, ui, resetConnection, options);
}

// Whatever goes wrong inside a download, the window must come back disconnected with its buttons
// usable: `resetConnection` runs also when the download throws, and the exception is reported as
// a failed download and then passed on. One coroutine frame holds the whole download, with its
// buffer: ten thousand of them may be in flight at once.
asio::awaitable<void> RunDownload(const image::FirmwareImage& masked, Transport& link,
                                  op::OperatorFeedback& ui,
                                  const std::function<void()>& resetConnection,
                                  const DownloadOptions& options, DownloadReport& report) {
  Download download(link, ui, options, masked, report);
  std::exception_ptr failure;
  try {
    LockButtons(ui, masked.blockCount());
    co_await download.Run();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    try {
      ui.SetStatus(op::text::kFailedStatus);
      ui.ShowMessage(op::MessageFor(op::Outcome::kError));
    } catch (...) {
      // The reset below matters more than the report.
    }
  }
  resetConnection();
  if (failure) std::rethrow_exception(failure);
}

asio::awaitable<DownloadReport> RunDownload(const image::FirmwareImage& masked, Transport& link,
                                            op::OperatorFeedback& ui,
                                            const std::function<void()>& resetConnection,
                                            const DownloadOptions& options) {
  DownloadReport report;
  co_await RunDownload(masked, link, ui, resetConnection, options, report);
  co_return report;
}

asio::awaitable<std::optional<std::string>> StopAtTheEdge(asio::awaitable<void> work,
                                                          const std::function<void()>& reset) {
  std::optional<std::string> failure;
  try {
    co_await std::move(work);
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  if (failure) reset();
  co_return failure;
}

}  // namespace quento::protocol
