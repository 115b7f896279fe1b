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

// Appends every device of `in` (read from the file `name`) to `devices`, as written; the command
// line's own rules read them.
void ReadDevicesFile(std::istream& in, const std::string& name, std::vector<DeviceEntry>& devices);

}  // namespace quento::cli
