#include "cli/fleet.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

#include "cli/trace.h"
#include "connection/resolver.h"
#include "platform/program.h"

namespace quento::cli {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Ctrl-C arrives as a flag set by the signal handler; the loop looks at it this often.
constexpr auto kCancelPoll = 50ms;
constexpr int kSlicesPerRedraw = 4;

// Bound to the one loop: smaller than a timer that could serve any executor, and ten thousand
// downloads each hold one.
using Timer =
    asio::basic_waitable_timer<Clock, asio::wait_traits<Clock>, asio::io_context::executor_type>;

// A device's progress in the live view: the command line has no window, so of the operator's
// feedback it takes only the phases and blocks; the message is the device's result line,
// written once the download has ended.
class DeviceProgress final : public op::SilentFeedback {
 public:
  DeviceProgress(std::size_t index, FleetObserver& observer)
      : m_index(index), m_observer(observer) {}

  void EnterPhase(op::Phase phase, int blocks) override {
    m_blocks = blocks;
    m_observer.OnProgress(m_index, phase, 0, blocks);
  }
  void FinishBlock(op::Phase phase, int block) override {
    m_observer.OnProgress(m_index, phase, block + 1, m_blocks);
  }

 private:
  std::size_t m_index;
  FleetObserver& m_observer;
  int m_blocks = 0;
};

// Everything the coroutines of one run share. Only the loop's thread touches it.
class Fleet {
 public:
  Fleet(const FleetOptions& options, FleetObserver& observer)
      : m_options(options),
        m_observer(observer),
        m_results(options.devices.size()),
        m_starts(options.devices.size()),
        m_ended(options.devices.size(), false),
        m_unresolved(options.unresolved) {
    auto masked = std::make_shared<image::FirmwareImage>(options.image);
    masked->Mask();
    m_image = std::move(masked);
    m_address.reserve(options.devices.size());
    for (std::size_t i = 0; i < m_results.size(); ++i) {
      m_results[i].device = options.devices[i].label;
      m_results[i].report = NotYetEnded();
      m_address.push_back(options.devices[i].address);
    }
  }

  std::vector<DeviceResult> Run() {
    const std::size_t jobs =
        m_options.jobs == 0 ? m_results.size() : std::min(m_options.jobs, m_results.size());
    m_jobs = jobs;
    for (std::size_t j = 0; j < jobs; ++j) StartWorker();
    Drive();
    if (Cancelled()) {
      for (std::size_t i = 0; i < m_results.size(); ++i) {
        if (!m_ended[i]) Cancel(i);
      }
    }
    return std::move(m_results);
  }

 private:
  // What a device's record says until its attempt ends: stopped before it could.
  protocol::DownloadReport NotYetEnded() const {
    protocol::DownloadReport report;
    report.outcome = op::Outcome::kCancelled;
    report.bytes = m_image->fileLength();
    report.blocks = m_image->blockCount();
    return report;
  }

  bool Cancelled() const { return m_options.cancel != nullptr && m_options.cancel->load(); }

  // A device's one final record once the run was stopped before it ended: the attempt in flight,
  // or the next one for a device waiting for its retry or never started. Nothing of an earlier
  // attempt is carried into it.
  void Cancel(std::size_t index) {
    DeviceResult& result = m_results[index];
    const bool inFlight = result.started && !result.again;
    if (!inFlight && result.started) ++result.attempt;
    result.seconds = inFlight ? Elapsed(index) : 0;
    if (!inFlight) result.address.clear();
    result.again = false;
    result.report = NotYetEnded();
    const int status = m_options.stopStatus != nullptr ? m_options.stopStatus->load() : 0;
    result.report.detail = StopReason(status);
    m_ended[index] = true;
    Finish(index);
  }

  double Elapsed(std::size_t index) const {
    return std::chrono::duration<double>(Clock::now() - m_starts[index]).count();
  }

  void StartWorker() {
    ++m_workers;
    asio::co_spawn(m_io, Worker(), asio::detached);
  }

  // The run ends when the loop runs out of work: every worker has found no device left and no
  // retry is waiting. Between slices it looks for Ctrl-C and has the display redrawn; once
  // stopped, whatever is still suspended in the loop is destroyed with it.
  void Drive() {
    for (int slices = 1; !m_io.stopped(); ++slices) {
      m_io.run_for(kCancelPoll);
      if (Cancelled()) return;
      if (slices % kSlicesPerRedraw == 0 && !m_io.stopped()) m_observer.OnTick();
    }
  }

  // Takes a device whose retry is due, else the next device not yet started, until none is left.
  // The attempt is awaited here, not in a coroutine of its own: ten thousand downloads in flight
  // each hold every frame of their chain.
  asio::awaitable<void> Worker() {
    for (std::optional<std::size_t> index; (index = Next());) {
      BeginAttempt(*index);
      // One device's trouble is that device's result; its socket went with the attempt.
      EndAttempt(*index, co_await protocol::StopAtTheEdge(Attempt(*index), m_nothingToReset));
    }
    --m_workers;
  }

  std::optional<std::size_t> Next() {
    if (Cancelled()) return std::nullopt;
    if (!m_due.empty()) {
      const std::size_t index = m_due.front();
      m_due.pop_front();
      return index;
    }
    if (m_next < m_results.size()) return m_next++;
    return std::nullopt;
  }

  // A retry waits without holding a job, then takes the first one free. A name is asked for
  // again meanwhile (the device may have moved), also without holding a job.
  asio::awaitable<void> RetryLater(std::size_t index) {
    {
      Timer delay(m_executor);
      delay.expires_after(m_options.retryDelay);
      co_await delay.async_wait(asio::use_awaitable);
    }
    const connection::DeviceTarget& target = m_options.devices[index];
    if (!target.host.empty()) {
      connection::Resolved resolved = co_await connection::Resolve(
          target.host, target.address.port, m_options.connectWait, m_options.cancel);
      if (resolved.address) {
        m_address[index] = *resolved.address;
        m_unresolved.erase(index);
      } else {
        m_address[index].address = 0;
        m_unresolved[index] = std::move(resolved.detail);
      }
    }
    if (Cancelled()) co_return;
    m_due.push_back(index);
    if (m_workers < m_jobs) StartWorker();
  }

  void BeginAttempt(std::size_t index) {
    DeviceResult& result = m_results[index];
    if (result.started) {
      result.attempt += 1;
      result.address.clear();
      result.report = NotYetEnded();
    }
    result.started = true;
    result.again = false;
    m_starts[index] = Clock::now();
  }

  void EndAttempt(std::size_t index, std::optional<std::string> failure) {
    DeviceResult& result = m_results[index];
    if (failure) Fail(result, std::move(*failure));
    if (result.report.outcome == op::Outcome::kCancelled) return Cancel(index);
    result.seconds = Elapsed(index);
    result.again = result.attempt <= m_options.retries && WorthRetrying(result.report.outcome);
    m_ended[index] = !result.again;
    Finish(index);
    if (result.again) asio::co_spawn(m_io, RetryLater(index), asio::detached);
  }

  asio::awaitable<void> Attempt(std::size_t index) {
    DeviceResult& result = m_results[index];
    m_observer.OnStart(index, result);
    const connection::DeviceAddress address = m_address[index];
    if (!Claim(index, address)) co_return;
    const InFlight holding(*this, Key(address));
    connection::ConnectResult connected =
        co_await connection::ConnectDevice(address, m_options.connectWait);
    result.report.outcome = connected.outcome;
    result.report.detail = std::move(connected.detail);
    if (!connected.link) co_return;
    connection::SocketLink& socket = *connected.link;
    DeviceProgress progress(index, m_observer);
    // The standard pace on one timer for the whole download: a timer made afresh for every
    // pause would cost each of ten thousand downloads a frame of its own while it waits.
    Timer pause(m_executor);
    std::unique_ptr<TracingTransport> traced;
    if (m_options.trace != nullptr) {
      traced = std::make_unique<TracingTransport>(socket, *m_options.trace, result.device);
    }
    co_await protocol::RunDownload(
        *m_image, traced ? static_cast<protocol::Transport&>(*traced) : socket, progress,
        [&socket] { socket.Close(); }, Options(pause), result.report);
  }

  using Addresses = std::unordered_map<std::uint64_t, std::size_t>;

  // Takes `address` for the device's attempt; false, with the attempt's result set, when there is
  // no address or another attempt of the run has it. One device, one download at a time: two
  // names for one address, or a name that moved onto another device's address, must never have
  // two downloads interleave in one loader. (Not in the coroutine: its frame would keep room for
  // every temporary here while the download runs.)
  bool Claim(std::size_t index, const connection::DeviceAddress& address) {
    DeviceResult& result = m_results[index];
    if (address.address == 0) {
      result.report.outcome = op::Outcome::kConnectFailed;
      result.report.detail = m_unresolved[index];
      return false;
    }
    result.address = address.ToString();
    const auto [slot, free] = m_inFlight.try_emplace(Key(address), index);
    if (free) return true;
    result.report.outcome = op::Outcome::kConnectFailed;
    result.report.detail = "not dialled: " + result.address + " is being flashed for " +
                           m_results[slot->second].device + " in this run";
    return false;
  }

  static std::uint64_t Key(const connection::DeviceAddress& address) {
    return (std::uint64_t{address.address} << 16) | address.port;
  }

  // An address is taken from the moment it is dialled until its attempt has ended, however it
  // ends: returned, thrown or destroyed with the loop.
  class InFlight {
   public:
    InFlight(Fleet& fleet, std::uint64_t key) : m_fleet(fleet), m_key(key) {}
    ~InFlight() { m_fleet.m_inFlight.erase(m_key); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

   private:
    Fleet& m_fleet;
    std::uint64_t m_key;
  };

  static void Fail(DeviceResult& result, std::string why) {
    result.report.outcome = op::Outcome::kError;
    result.report.detail = std::move(why);
  }

  // A result that cannot be shown or recorded is that device's failure, shown and recorded as
  // such; it never ends the run or touches another device's result.
  void Finish(std::size_t index) {
    try {
      m_observer.OnFinish(index, m_results[index]);
    } catch (const std::exception& e) {
      Fail(m_results[index], e.what());
      try {
        m_observer.OnFinish(index, m_results[index]);
      } catch (const std::exception&) {
        // Nothing more can be said of it: its result stays in the summary and the exit status.
      }
    }
  }

  protocol::DownloadOptions Options(Timer& pause) {
    protocol::DownloadOptions options;
    options.buffers = &m_frameBuffers;
    options.pause = protocol::NoPause;
    if (!m_options.fast) {
      options.pause = [&pause](std::chrono::milliseconds duration) {
        pause.expires_after(duration);
        return pause.async_wait(asio::use_awaitable);
      };
    }
    options.cancel = m_options.cancel;
    return options;
  }

  const FleetOptions& m_options;
  FleetObserver& m_observer;
  std::shared_ptr<const image::FirmwareImage> m_image;
  std::vector<DeviceResult> m_results;
  std::vector<Clock::time_point> m_starts;
  std::vector<bool> m_ended;
  std::vector<connection::DeviceAddress> m_address;  // what each device dials; 0: not resolved
  std::unordered_map<std::size_t, std::string> m_unresolved;  // why a name has no address
  Addresses m_inFlight;  // every address dialled and not yet done with, and whose it is
  const std::function<void()> m_nothingToReset = [] {};
  protocol::FrameBuffers m_frameBuffers;  // lent to each download while it sends or receives
  std::size_t m_next = 0;
  std::deque<std::size_t> m_due;  // devices whose retry is due, oldest first
  std::size_t m_jobs = 0;
  std::size_t m_workers = 0;  // workers taking devices; a retry that comes due wakes one
  // Last: destroying the loop destroys every download still suspended in it, and their sockets
  // with them, while everything they refer to still exists.
  asio::io_context m_io{1};
  asio::io_context::executor_type m_executor = m_io.get_executor();
};

}  // namespace

std::string StopReason(int status) {
  switch (status) {
    case platform::kTerminatedStatus:
      return "stopped (SIGTERM)";
    case platform::kHungUpStatus:
      return "stopped: the terminal or session went away (SIGHUP)";
    default:
      return "interrupted (Ctrl-C)";
  }
}

bool WorthRetrying(op::Outcome outcome) {
  switch (outcome) {
    case op::Outcome::kConnectFailed:
    case op::Outcome::kSendFailed:
    case op::Outcome::kNoResponse:
    case op::Outcome::kVerifyFailed:
    case op::Outcome::kError:
      return true;
    default:
      return false;
  }
}

std::vector<DeviceResult> RunFleet(const FleetOptions& options, FleetObserver& observer) {
  return Fleet(options, observer).Run();
}

}  // namespace quento::cli
