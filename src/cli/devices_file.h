// The --devices-file format: one device per line; blank lines and # comments are ignored.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace quento::cli {

// A device as the operator gave it, and where: "the command line" or "FILE line N".
struct DeviceEntry {
  std::string text;
  std::string where;
};

// Appends every device of `in` (read from the file `name`) to `devices`. False, with `error`
// naming the line, for a line that is not ADDR or ADDR:PORT.
bool ReadDevicesFile(std::istream& in, const std::string& name, std::vector<DeviceEntry>& devices,
                     std::string& error);

}  // namespace quento::cli
