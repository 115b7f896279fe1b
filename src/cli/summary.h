// The line that ends a run: how many devices, how many succeeded, failed (by outcome) and were
// interrupted, and how long it took.
#pragma once

#include <string>
#include <vector>

#include "cli/fleet.h"

namespace quento::cli {

// E.g. "summary: 3 devices, 1 succeeded, 2 failed (connect_failed: 1, no_response: 1), 1.52 s";
// ", N interrupted" before the time when a request to stop cut some short.
std::string Summary(const std::vector<DeviceResult>& results, double seconds);

}  // namespace quento::cli
