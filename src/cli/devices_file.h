// The --devices-file format: one device per line; blank lines and # comments are ignored.
#pragma once

#include <string>
#include <vector>

#include "cli/device_list.h"

namespace quento::cli {

// Appends every device of the file `name` (UTF-8; none when empty) to `devices`, as written, each
// with its line; the command line's own rules read them. A byte order mark before the first line is
// no part of it. Returns why the file cannot be read (missing, a directory, a FIFO...), or empty.
std::string ReadDevicesFile(const std::string& name, std::vector<DeviceEntry>& devices);

}  // namespace quento::cli
