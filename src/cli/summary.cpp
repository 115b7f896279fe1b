#include "cli/summary.h"

#include <cstdio>
#include <map>

#include "cli/arguments.h"
#include "platform/program.h"

namespace quento::cli {
int StopStatus(const std::atomic<int>* stopStatus) {
  const int status = stopStatus != nullptr ? stopStatus->load() : 0;
  return status != 0 ? status : platform::kInterruptedStatus;
}

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

int ExitStatus(const std::vector<DeviceResult>& results, bool complete,
               const std::atomic<bool>* cancel, const std::atomic<int>* stopStatus) {
  if (cancel != nullptr && cancel->load()) return StopStatus(stopStatus);
  for (const DeviceResult& r : results) {
    if (r.report.outcome != op::Outcome::kSuccess) return kExitFailed;
  }
  return complete ? 0 : kExitFailed;
}

}  // namespace quento::cli
