// The --devices-file format: one device per line; blank lines and # comments are ignored.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace quento::cli {

// Appends every device of `in` to `devices`. False, with `error` naming the line, for a line
// that is not ADDR or ADDR:PORT.
bool ReadDevicesFile(std::istream& in, std::vector<std::string>& devices, std::string& error);

}  // namespace quento::cli
