#include "cli/devices_file.h"

#include <fstream>

#include "platform/file.h"

namespace quento::cli {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string ReadDevicesFile(const std::string& name, std::vector<DeviceEntry>& devices) {
  if (name.empty()) return {};
  const std::string cannot = "cannot read devices file '" + name + "'";
  const std::filesystem::path path = platform::PathFromUtf8(name);
  // A FIFO would keep the run waiting for a writer; a directory would read as no devices.
  if (const std::string what = platform::NotAFile(path, false); !what.empty()) {
    return cannot + ": it is " + what;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return cannot;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    // Notepad starts its UTF-8 files with one.
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    std::string_view device = line;
    if (const auto hash = device.find('#'); hash != std::string_view::npos) {
      device = device.substr(0, hash);
    }
    device = Trim(device);
    if (device.empty()) continue;
    devices.push_back({std::string(device), {name, number}});
  }
  return in.bad() ? cannot : "";
}

}  // namespace quento::cli
