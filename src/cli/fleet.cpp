#include "cli/fleet.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "cli/trace.h"
#include "connection/connection_manager.h"

namespace quento::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The command line has no window: the screen operations only feed the progress display, and a
// message is the device's result line, written once the download has ended.
class DeviceScreen final : public NoScreen, public protocol::DownloadObserver {
 public:
  DeviceScreen(std::string address, std::size_t index, FleetObserver& observer)
      : m_address(std::move(address)), m_index(index), m_observer(observer) {}

  std::string ReadAddressText() override { return m_address; }

  void OnPhase(protocol::Phase phase, int blocks) override {
    m_blocks = blocks;
    m_observer.OnProgress(m_index, phase, 0, blocks);
  }
  void OnBlockDone(protocol::Phase phase, int block) override {
    m_observer.OnProgress(m_index, phase, block + 1, m_blocks);
  }

 private:
  std::string m_address;
  std::size_t m_index;
  FleetObserver& m_observer;
  int m_blocks = 0;
};

protocol::Pause MakePause(bool fast, const std::atomic<bool>* cancel) {
  if (fast) return [](milliseconds) {};
  // Sleeps in slices so that Ctrl-C is felt within a few tens of milliseconds.
  return [cancel](milliseconds duration) {
    const auto end = Clock::now() + duration;
    for (auto now = Clock::now(); now < end && !(cancel && cancel->load()); now = Clock::now()) {
      std::this_thread::sleep_for(std::min<Clock::duration>(end - now, milliseconds(20)));
    }
  };
}

DeviceResult DownloadOne(const FleetOptions& options, std::size_t index, FleetObserver& observer) {
  const connection::DeviceAddress& device = options.devices[index];
  DeviceResult result;
  result.device = device.ToString();
  result.started = true;
  result.report.bytes = options.image.file_length();
  result.report.blocks = options.image.block_count();
  const auto start = Clock::now();
  observer.OnStart(index, result.device);

  DeviceScreen screen(connection::FormatIpv4(device.address), index, observer);
  connection::SystemNetwork network;
  std::int32_t connected = 0;
  connection::ConnectionManager manager(
      screen, network, connected,
      {.port = device.port, .connectWait = options.connectWait, .idle = {}});
  const Outcome connect = manager.Connect();
  if (connect != Outcome::kSuccess) {
    result.report.outcome = connect;
  } else {
    protocol::DownloadOptions download;
    download.pause = MakePause(options.fast, options.cancel);
    download.observer = &screen;
    download.cancel = options.cancel;
    protocol::Transport* link = manager.transport();
    std::unique_ptr<TracingTransport> traced;
    if (options.trace != nullptr) {
      traced = std::make_unique<TracingTransport>(*link, *options.trace, result.device);
      link = traced.get();
    }
    result.report = protocol::RunDownload(
        image::LoadResult{image::LoadStatus::kOk, options.image}, *link, screen,
        [&manager] { manager.ResetConnection(); }, download);
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  observer.OnFinish(index, result);
  return result;
}

}  // namespace

std::vector<DeviceResult> RunFleet(const FleetOptions& options, FleetObserver& observer) {
  std::vector<DeviceResult> results(options.devices.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    results[i].device = options.devices[i].ToString();
    results[i].report.outcome = Outcome::kCancelled;
  }
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < results.size(); i = next++) {
      if (options.cancel != nullptr && options.cancel->load()) return;
      results[i] = DownloadOne(options, i, observer);
    }
  };
  const std::size_t jobs =
      options.jobs == 0 ? results.size() : std::min(options.jobs, results.size());
  std::vector<std::thread> workers;
  workers.reserve(jobs);
  for (std::size_t j = 0; j < jobs; ++j) {
    try {
      workers.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // the system is out of threads: carry on with those we have
    }
  }
  if (workers.empty()) worker();
  for (std::thread& w : workers) w.join();
  return results;
}

}  // namespace quento::cli
