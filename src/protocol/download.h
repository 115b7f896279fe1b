// The download: file check, greeting, block writing, read-back, completion, and the report to
// the operator. One coroutine on the caller's event loop; one copy serves every front end.
#pragma once

#include <array>
#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "operator/operator_feedback.h"
#include "operator/outcome.h"
#include "protocol/frames.h"
#include "protocol/transport.h"

namespace quento::protocol {

using namespace std::chrono_literals;

// The loader's fixed pace. The device firmware was written against these gaps.
inline constexpr std::chrono::milliseconds kPauseAfterSend = 300ms;
inline constexpr std::chrono::milliseconds kPauseAfterReceive = 50ms;
inline constexpr std::chrono::milliseconds kReceiveTimeout = 1000ms;
inline constexpr int kGreetingAttempts = 6;
inline constexpr int kRetryLimit = 6;
inline constexpr int kProgressStep = 3;
inline constexpr int kProgressPerBlock = 6;

using Pause = std::function<asio::awaitable<void>(std::chrono::milliseconds)>;

// The standard pace: a timer on the event loop the download runs on.
asio::awaitable<void> TimerPause(std::chrono::milliseconds duration);
// Fast pacing: no fixed gaps; every reply is still waited for.
asio::awaitable<void> NoPause(std::chrono::milliseconds duration);

// Frame buffers that the downloads on one event loop lend each other. A download holds one only
// while a block-write frame is sent or a read-back reply received, never through a pause, so at the
// loader's pace ten thousand downloads need a handful rather than one each. One loop's only.
class FrameBuffers {
 public:
  using Buffer = std::array<std::uint8_t, kMaxFrameSize>;

  // A buffer until the lease ends.
  class Lease {
   public:
    Lease() = default;
    Lease(FrameBuffers& owner, std::unique_ptr<Buffer> buffer)
        : m_owner(&owner), m_buffer(std::move(buffer)) {}
    Lease(Lease&&) = default;
    Lease& operator=(Lease&& other) noexcept {
      Return();
      m_owner = other.m_owner;
      m_buffer = std::move(other.m_buffer);
      return *this;
    }
    ~Lease() { Return(); }
    Buffer& operator*() const { return *m_buffer; }

   private:
    void Return() {
      if (m_buffer) m_owner->m_free.push_back(std::move(m_buffer));
    }
    FrameBuffers* m_owner = nullptr;
    std::unique_ptr<Buffer> m_buffer;
  };

  Lease Take() {
    if (m_free.empty()) return Lease(*this, std::make_unique<Buffer>());
    Lease lease(*this, std::move(m_free.back()));
    m_free.pop_back();
    return lease;
  }

 private:
  std::vector<std::unique_ptr<Buffer>> m_free;
};

struct DownloadOptions {
  Pause pause = TimerPause;
  // Where the frame buffer comes from; a download without one keeps a buffer of its own.
  FrameBuffers* buffers = nullptr;
  // When set and raised, the download stops at its next exchange with kCancelled.
  const std::atomic<bool>* cancel = nullptr;
};

struct DownloadReport {
  op::Outcome outcome = op::Outcome::kFileMissing;
  std::int32_t bytes = 0;
  std::int32_t blocks = 0;
  int writeRetries = 0;
  int readRetries = 0;
  // For kVerifyFailed: the image offset of the first byte that came back different.
  std::optional<std::size_t> firstDifference;
  // The system's words for a send or receive failure, e.g. "receive: no answer within 1000 ms",
  // or "device closed the connection" (the same whichever call found out).
  std::string detail;
};

// The file check's verdict: kSuccess for a usable file, else the file's outcome.
op::Outcome FileCheckOutcome(image::LoadStatus status);

// The whole download of the image read at the file check (`loaded`) over `link`: the window's
// download. Every ending after the file check calls `resetConnection` once, after the final
// message, also when the download ends in an exception, which is then passed on.
asio::awaitable<DownloadReport> RunDownload(image::LoadResult loaded, Transport& link,
                                            op::OperatorFeedback& ui,
                                            std::function<void()> resetConnection,
                                            DownloadOptions options = {});

// The one rule for an exception at the edge of the core. An exception leaves the core only out of
// the operator's work, a connect or a download, and a download has then already shown "下载失败！"
// and reset its connection. It goes no further than the front end that started the work: there
// `reset` puts back what the front end still holds, and the exception's text is returned, for a
// record (the command line's `error` result). Nothing is thrown into a window's event loop, and
// no device of a fleet ends another's download.
asio::awaitable<std::optional<std::string>> StopAtTheEdge(asio::awaitable<void> work,
                                                          const std::function<void()>& reset);

// The same download of an image already checked and masked, which many downloads share. Await it
// at once: `masked`, `resetConnection` and `options` are the caller's, kept while it runs (ten
// thousand downloads in flight need no copy of each).
asio::awaitable<DownloadReport> RunDownload(const image::FirmwareImage& masked, Transport& link,
                                            op::OperatorFeedback& ui,
                                            const std::function<void()>& resetConnection,
                                            const DownloadOptions& options);
// The same, its report written into `report` as the download goes.
asio::awaitable<void> RunDownload(const image::FirmwareImage& masked, Transport& link,
                                  op::OperatorFeedback& ui,
                                  const std::function<void()>& resetConnection,
                                  const DownloadOptions& options, DownloadReport& report);

}  // namespace quento::protocol
