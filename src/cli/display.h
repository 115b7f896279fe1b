// What the operator sees of a run: live bars on a terminal, plain lines in a pipe, or JSON Lines.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/fleet.h"

namespace quento::cli {

enum class DisplayMode { kTerminal, kPlain, kJson };

// The device's result line, e.g. "127.0.0.1:18810: 下载成功！"; a failure the system explained
// ends with its words, e.g. " (connect: Connection refused)".
std::string ResultLine(const DeviceResult& result);
// The device's JSON object, one line, naming the image by the SHA-256 of the firmware file
// (left out when empty: the file could not be read).
std::string ResultJson(const DeviceResult& result, std::string_view sha256);

class Display : public FleetObserver {
 public:
  // Writes what is still pending and takes the live view away, for the summary to follow.
  virtual void Finish() {}
};

// `rows` and `columns`: the terminal's size, which the live view never exceeds. `sha256`: the
// firmware file's, for the JSON objects.
std::unique_ptr<Display> MakeDisplay(DisplayMode mode, std::ostream& out, std::size_t devices,
                                     int rows = 24, int columns = 80, std::string sha256 = {});

}  // namespace quento::cli
