// The conformance run: the checks of every group asked for, made against one device on one event
// loop, each with its verdict.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>
#include <vector>

#include "cli/trace.h"
#include "conform/checks.h"
#include "conform/session.h"
#include "connection/address.h"
#include "image/firmware_image.h"

namespace quento::conform {

// The images a run writes, masked as the tools send them.
struct Images {
  image::FirmwareImage oneBlock;    // a single block
  image::FirmwareImage manyBlocks;  // several blocks, the last one short
  image::FirmwareImage largest;     // 256 full blocks
};

struct RunOptions {
  connection::DeviceAddress device;
  Pace pace;
  std::vector<std::string_view> groups;  // the groups to report, in any order
  Images images;
  std::chrono::milliseconds connectWait = connection::kConnectWait;
  cli::TraceLog* trace = nullptr;
  const std::atomic<bool>* cancel = nullptr;  // raised: the run sends no more frames
  // Told what the run is doing, e.g. "read-back.largest: block-read 120 of 256".
  std::function<void(const std::string&)> progress;
};

// The results of the checks of the groups asked for, in the order of kChecks.
std::vector<CheckResult> RunChecks(const RunOptions& options);

}  // namespace quento::conform
