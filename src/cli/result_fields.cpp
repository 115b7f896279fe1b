#include "cli/result_fields.h"

#include <cmath>

#include "platform/system_text.h"

namespace quento::cli {
namespace {

// A failure's words, or why a device was cancelled.
bool ExplainsAnEnding(const protocol::DownloadReport& report) {
  return !report.detail.empty() && report.outcome != op::Outcome::kSuccess;
}

}  // namespace

std::string Explanation(const DeviceResult& result) {
  if (const auto offset = result.report.firstDifference) {
    return "block " + std::to_string(*offset / image::kBlockSize) + ", offset " +
           std::to_string(*offset);
  }
  return ExplainsAnEnding(result.report) ? platform::ValidUtf8(result.report.detail) : "";
}

nlohmann::ordered_json ResultFields(const DeviceResult& result) {
  const protocol::DownloadReport& report = result.report;
  nlohmann::ordered_json object = {
      {"device", platform::ValidUtf8(result.device)},
      {"address", result.address},
      {"attempt", result.attempt},
      {"outcome", op::NameOf(report.outcome)},
      {"message", op::MessageFor(report.outcome)},
  };
  // The system's words and an exception's may carry any bytes; a JSON, CSV or XML writer takes
  // UTF-8 only.
  if (!report.detail.empty()) object["detail"] = platform::ValidUtf8(report.detail);
  object["bytes"] = report.bytes;
  object["blocks"] = report.blocks;
  object["write_retries"] = report.writeRetries;
  object["read_retries"] = report.readRetries;
  object["seconds"] = std::round(result.seconds * 100) / 100;
  if (report.firstDifference) object["first_difference"] = *report.firstDifference;
  return object;
}

}  // namespace quento::cli
