#include "cli/devices_file.h"

namespace quento::cli {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

void ReadDevicesFile(std::istream& in, const std::string& name, std::vector<DeviceEntry>& devices) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string_view device = line;
    if (const auto hash = device.find('#'); hash != std::string_view::npos) {
      device = device.substr(0, hash);
    }
    device = Trim(device);
    if (device.empty()) continue;
    devices.push_back({std::string(device), name + " line " + std::to_string(number)});
  }
}

}  // namespace quento::cli
