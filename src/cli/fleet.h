// Downloads one image to many devices, at most `jobs` at a time. Every download has its own
// connection, screen and buffers; they share nothing that changes but the display.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "connection/address.h"
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

// What a display is told; called from the download threads, so implementations lock.
class FleetObserver {
 public:
  virtual ~FleetObserver() = default;
  virtual void OnStart(std::size_t /*index*/, const std::string& /*device*/) {}
  virtual void OnProgress(std::size_t /*index*/, protocol::Phase /*phase*/, int /*done*/,
                          int /*total*/) {}
  virtual void OnFinish(std::size_t /*index*/, const DeviceResult& /*result*/) {}
};

struct FleetOptions {
  std::vector<connection::DeviceAddress> devices;
  image::FirmwareImage image;  // as read from the file, not yet masked
  std::size_t jobs = 0;        // 0: all at once
  bool fast = false;           // no fixed pauses; every reply still waited for
  TraceLog* trace = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  std::chrono::milliseconds connectWait{3000};
};

std::vector<DeviceResult> RunFleet(const FleetOptions& options, FleetObserver& observer);

}  // namespace quento::cli
