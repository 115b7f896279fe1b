// The devices a run is for: each entry as the operator typed it and where, the devices it
// names, their names' addresses, and the repeats and slips refused before any is contacted.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace quento::cli {

struct Environment;
struct FleetOptions;

// Where an entry was given: a line of a devices file, or the command line.
struct EntryOrigin {
  std::string file;  // the devices file's name as given (UTF-8); empty: the command line
  int line = 0;
};

// A device as the operator gave it, and where.
struct DeviceEntry {
  std::string text;
  EntryOrigin origin;
};

// The operator's name for `origin`: "the command line" or "FILE line N".
std::string Where(const EntryOrigin& origin);

// Fills `fleet.devices` from the command line's entries `given` and then the devices file's (none
// when `devicesFile` is empty), and looks up every name's address (`fleet.unresolved` says why
// one has none). Returns what refuses the run, whole lines for standard error: a devices file
// that cannot be read, an entry that is no device, too many devices, none, or one device given
// twice. Empty when the run may go on.
std::string GatherDevices(const std::vector<std::string>& given, const std::string& devicesFile,
                          const Environment& env, FleetOptions& fleet);

// The message when the devices downloaded at once (`jobs` at a time, 0: all), the run's own
// files (`ownFiles`: a trace, a report) and the program's would not fit under the open-files
// `limit` (0: none); empty when they fit.
std::string TooFewFiles(std::size_t jobs, std::size_t devices, std::uint64_t ownFiles,
                        std::uint64_t limit);

// --dry-run: every device the run would contact, one a line, a name with the address it
// resolved to or why it did not.
void ListDevices(const FleetOptions& fleet, std::ostream& out);

}  // namespace quento::cli
