// The download: file check, greeting, block writing, read-back, completion, and the report to
// the operator. Runs to its end on the calling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

#include "image/firmware_image.h"
#include "protocol/operator_feedback.h"
#include "protocol/outcome.h"
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

using Pause = std::function<void(std::chrono::milliseconds)>;

// The standard pace sleeps; fast pacing passes a pause that returns at once.
void SleepPause(std::chrono::milliseconds duration);

enum class Phase { kGreeting, kWriting, kVerifying, kCompleting };

// Optional progress events for front ends that show more than the progress bar.
class DownloadObserver {
 public:
  virtual ~DownloadObserver() = default;
  virtual void OnPhase(Phase /*phase*/, int /*block_count*/) {}
  virtual void OnBlockDone(Phase /*phase*/, int /*block*/) {}
};

struct DownloadOptions {
  Pause pause = SleepPause;
  DownloadObserver* observer = nullptr;
  // When set and raised, the download stops at its next exchange with kCancelled.
  const std::atomic<bool>* cancel = nullptr;
};

struct DownloadReport {
  Outcome outcome = Outcome::kFileMissing;
  std::int32_t bytes = 0;
  std::int32_t blocks = 0;
  int write_retries = 0;
  int read_retries = 0;
  // For kVerifyFailed: the image offset of the first byte that came back different.
  std::optional<std::size_t> first_difference;
};

// The file check's verdict: kSuccess for a usable file, else the file's outcome.
Outcome FileCheckOutcome(image::LoadStatus status);

// The whole download of the file at `firmware` over `link`. Every ending after the file check
// calls `reset_connection` once, after the final message.
DownloadReport RunDownload(const std::filesystem::path& firmware, Transport& link,
                           OperatorFeedback& ui, const std::function<void()>& reset_connection,
                           const DownloadOptions& options = {});

// The same download with the file already read (and the file check's verdict in `loaded`),
// for front ends that send one image to many devices.
DownloadReport RunDownload(image::LoadResult loaded, Transport& link, OperatorFeedback& ui,
                           const std::function<void()>& reset_connection,
                           const DownloadOptions& options = {});

}  // namespace quento::protocol
