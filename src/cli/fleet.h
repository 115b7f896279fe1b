// Downloads one image to many devices, at most `jobs` at a time, all on one event loop on the
// calling thread. Every download has its own connection, screen and buffers; they share the
// masked image, which never changes, and the display.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "connection/address.h"
#include "connection/connector.h"
#include "image/firmware_image.h"
#include "protocol/download.h"

namespace quento::cli {

class TraceLog;

// One attempt's result; a run returns every device's last.
struct DeviceResult {
  std::string device;   // "ADDR:PORT", or the host name as given
  std::string address;  // "ADDR:PORT" dialled; empty until known (a name that did not resolve)
  int attempt = 1;
  bool again = false;  // a later attempt follows this one
  protocol::DownloadReport report;
  double seconds = 0;    // this attempt's
  bool started = false;  // false when stopped before its turn came
};

// What a display is told, always on the loop's thread.
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  virtual void OnStart(std::size_t /*index*/, const DeviceResult& /*attempt*/) {}
  virtual void OnProgress(std::size_t /*index*/, op::Phase /*phase*/, int /*done*/, int /*total*/) {
  }
  // Every attempt's end; `result.again` when another follows.
  virtual void OnFinish(std::size_t /*index*/, const DeviceResult& /*result*/) {}
  // Every 200 ms while the run lasts: time to redraw.
  virtual void OnTick() {}
};

struct FleetOptions {
  // A host name's `address` is what it resolved to before the run (address 0 when it did not:
  // `unresolved` then says why). A retry asks for the name again.
  std::vector<connection::DeviceTarget> devices;
  image::FirmwareImage image;  // as read from the file, not yet masked
  std::size_t jobs = 0;        // 0: all at once
  bool fast = false;           // no fixed pauses; every reply still waited for
  TraceLog* trace = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  // Once `cancel` is raised: the exit status of the request (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP),
  // which the cancelled records name.
  const std::atomic<int>* stopStatus = nullptr;
  std::chrono::milliseconds connectWait = connection::kConnectWait;
  int retries = 0;  // more attempts for a device that failed on its side
  std::chrono::milliseconds retryDelay{2000};
  std::unordered_map<std::size_t, std::string> unresolved{};  // by the device's index
};

// A failure on the device's side, which another attempt may mend: not a local socket problem,
// not an interruption.
bool WorthRetrying(op::Outcome outcome);

// Why a run was stopped, for its cancelled records: "interrupted (Ctrl-C)" for 130, and so on.
std::string StopReason(int status);

// Returns once every device has ended, or soon after `cancel` is raised: then every download
// in flight is dropped with its socket, and every device not yet ended (in flight, waiting for
// its retry, or never started) gets one more, final record: kCancelled, saying only why. No two
// attempts of the run dial one address at once, whatever names lead to it.
std::vector<DeviceResult> RunFleet(const FleetOptions& options, FleetObserver& observer);

}  // namespace quento::cli
