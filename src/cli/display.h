// What the operator sees of a run: live bars on a terminal, plain lines in a pipe, or JSON Lines.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "cli/fleet.h"

namespace quento::cli {

enum class DisplayMode { kTerminal, kPlain, kJson };

// The device's result line, e.g. "127.0.0.1:18810: 下载成功！"; a failure the system explained
// ends with its words, e.g. " (connect: Connection refused)".
std::string ResultLine(const DeviceResult& result);
// The device's JSON object, one line.
std::string ResultJson(const DeviceResult& result);

class Display : public FleetObserver {
 public:
  // Writes what is still pending and takes the live view away, for the summary to follow.
  virtual void Finish() {}
};

// `rows` and `columns`: the terminal's size, which the live view never exceeds.
std::unique_ptr<Display> MakeDisplay(DisplayMode mode, std::ostream& out, std::size_t devices,
                                     int rows = 24, int columns = 80);

}  // namespace quento::cli
