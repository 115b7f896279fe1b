// The --devices-file format: one device per line; blank lines and # comments are ignored.
#pragma once

#include <string>
#include <vector>

namespace quento::cli {

// A device as the operator gave it, and where: "the command line" or "FILE line N".
struct DeviceEntry {
  std::string text;
  std::string where;
};

// Appends every device of the file `name` (UTF-8; none when empty) to `devices`, as written; the
// command line's own rules read them. A byte order mark before the first line is no part of it.
// Returns why the file cannot be read (missing, a directory, a FIFO...), or empty.
std::string ReadDevicesFile(const std::string& name, std::vector<DeviceEntry>& devices);

}  // namespace quento::cli
