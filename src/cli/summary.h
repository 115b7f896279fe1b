// How a run ends: the line that says how many devices, how many succeeded, failed (by outcome)
// and were interrupted, and how long it took; and the exit status.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "cli/fleet.h"

namespace quento::cli {

// E.g. "summary: 3 devices, 1 succeeded, 2 failed (connect_failed: 1, no_response: 1), 1.52 s";
// ", N interrupted" before the time when a request to stop cut some short.
std::string Summary(const std::vector<DeviceResult>& results, double seconds);

// The exit status of the request to stop: what `stopStatus` holds, else 130 (Ctrl-C).
int StopStatus(const std::atomic<int>* stopStatus);

// The request to stop's status (`cancel` raised: `stopStatus`, else 130), then 1 for a device
// that failed, then 1 for a record that is incomplete: a run whose record is incomplete must not
// pass for a clean one. Else 0.
int ExitStatus(const std::vector<DeviceResult>& results, bool complete,
               const std::atomic<bool>* cancel, const std::atomic<int>* stopStatus);

}  // namespace quento::cli
