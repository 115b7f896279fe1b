#include "cli/summary.h"

#include <cstdio>
#include <map>

namespace quento::cli {

std::string Summary(const std::vector<DeviceResult>& results, double seconds) {
  std::size_t succeeded = 0;
  std::size_t interrupted = 0;
  std::map<std::string, std::size_t> failures;
  for (const DeviceResult& r : results) {
    if (r.report.outcome == op::Outcome::kSuccess) {
      ++succeeded;
    } else if (r.report.outcome == op::Outcome::kCancelled) {
      ++interrupted;
    } else {
      ++failures[std::string(op::NameOf(r.report.outcome))];
    }
  }
  std::size_t failed = 0;
  std::string byOutcome;
  for (const auto& [name, count] : failures) {
    failed += count;
    byOutcome += (byOutcome.empty() ? " (" : ", ") + name + ": " + std::to_string(count);
  }
  if (!byOutcome.empty()) byOutcome += ')';
  char time[32];
  std::snprintf(time, sizeof time, "%.2f s", seconds);
  std::string line = "summary: " + std::to_string(results.size()) + " device" +
                     (results.size() == 1 ? "" : "s") + ", " + std::to_string(succeeded) +
                     " succeeded, " + std::to_string(failed) + " failed" + byOutcome;
  if (interrupted > 0) line += ", " + std::to_string(interrupted) + " interrupted";
  return line + ", " + time;
}

}  // namespace quento::cli
