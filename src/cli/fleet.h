// Downloads one image to many devices, at most `jobs` at a time, all on one event loop on the
// calling thread. Every download has its own connection, screen and buffers; they share the
// masked image, which never changes, and the display.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "connection/address.h"
#include "connection/connector.h"
#include "image/firmware_image.h"
#include "protocol/download.h"

namespace quento::cli {

class TraceLog;

struct DeviceResult {
  std::string device;  // "ADDR:PORT"
  protocol::DownloadReport report;
  double seconds = 0;
  bool started = false;  // false when stopped before its turn came
};

// What a display is told, always on the loop's thread.
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  virtual void OnStart(std::size_t /*index*/, const std::string& /*device*/) {}
  virtual void OnProgress(std::size_t /*index*/, op::Phase /*phase*/, int /*done*/, int /*total*/) {
  }
  virtual void OnFinish(std::size_t /*index*/, const DeviceResult& /*result*/) {}
  // Every 200 ms while the run lasts: time to redraw.
  virtual void OnTick() {}
};

struct FleetOptions {
  std::vector<connection::DeviceAddress> devices;
  image::FirmwareImage image;  // as read from the file, not yet masked
  std::size_t jobs = 0;        // 0: all at once
  bool fast = false;           // no fixed pauses; every reply still waited for
  TraceLog* trace = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  std::chrono::milliseconds connectWait = connection::kConnectWait;
};

// Returns once every device has ended, or soon after `cancel` is raised: then every download
// in flight is dropped with its socket and reported as kCancelled.
std::vector<DeviceResult> RunFleet(const FleetOptions& options, FleetObserver& observer);

}  // namespace quento::cli
