#include "cli/device_list.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <tuple>

#include "cli/cli.h"
#include "cli/devices_file.h"
#include "cli/fleet.h"
#include "connection/resolver.h"

namespace quento::cli {
namespace {

// A run this large is a slip (a /8 in a devices file, a list pasted twice), not a plant.
constexpr std::size_t kMaxDevices = 100000;

// Descriptors besides the devices' sockets: standard streams, the firmware file, the event
// loop's own, and some slack for the C library.
constexpr std::uint64_t kReservedFiles = 16;

// The devices an entry names: an address, a range, a CIDR block or a host name. False, with
// `error` set, for anything else.
bool Targets(const DeviceEntry& entry, std::vector<connection::DeviceTarget>& out,
             std::string& error) {
  std::vector<connection::DeviceAddress> addresses;
  if (connection::ExpandDevices(entry.text, addresses, &error)) {
    for (const auto& address : addresses) out.push_back({{}, address, address.ToString()});
    return true;
  }
  if (auto named = connection::ParseHostName(entry.text, &error)) {
    out.push_back(std::move(*named));
    return true;
  }
  return false;
}

// Every entry's devices in order into `devices`, and into `entryOf` the entry each came from.
// Returns the line that refuses an entry (no device, or one device too many), or empty.
std::string Expand(const std::vector<DeviceEntry>& entries,
                   std::vector<connection::DeviceTarget>& devices,
                   std::vector<std::size_t>& entryOf) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const DeviceEntry& entry = entries[i];
    std::string error;
    if (!Targets(entry, devices, error)) {
      // A file's line is named; what was typed on the command line is still in front of the
      // operator.
      const std::string at = entry.origin.file.empty() ? "" : Where(entry.origin) + ": ";
      return "quento-cli: " + at +
             (error.empty() ? "'" + entry.text + "' is not a device" : error) +
             " (ADDR, FIRST-LAST, NET/PREFIX or a host name, each with an optional :PORT)\n";
    }
    entryOf.resize(devices.size(), i);
    if (devices.size() > kMaxDevices) {
      return "quento-cli: more than " + std::to_string(kMaxDevices) + " devices in one run (at " +
             Where(entry.origin) + "); split the list\n";
    }
  }
  return {};
}

// Every name's address, all asked for at once before any device is contacted, each lookup
// bounded by the connect wait: a name that does not answer in time is that device's
// connect_failed, and the run goes on.
void ResolveNames(FleetOptions& fleet, const Environment& env) {
  std::vector<std::pair<std::string, std::uint16_t>> hosts;
  std::vector<std::size_t> named;
  for (std::size_t i = 0; i < fleet.devices.size(); ++i) {
    if (fleet.devices[i].host.empty()) continue;
    hosts.emplace_back(fleet.devices[i].host, fleet.devices[i].address.port);
    named.push_back(i);
  }
  if (hosts.empty()) return;
  std::vector<connection::Resolved> resolved =
      connection::ResolveAll(hosts, env.connectWait, env.cancel);
  for (std::size_t k = 0; k < named.size(); ++k) {
    if (resolved[k].address) {
      fleet.devices[named[k]].address = *resolved[k].address;
    } else {
      fleet.unresolved[named[k]] = std::move(resolved[k].detail);
    }
  }
}

// One line for every device given more than once, naming each of its entries; empty when there
// is none. Two downloads into one device at once would leave it holding neither image. Names are
// compared by the address they resolved to (two names for one device, or a name and its
// address, are one device); a name that did not resolve, by the name.
std::string Repeated(const std::vector<DeviceEntry>& entries,
                     const std::vector<connection::DeviceTarget>& devices,
                     const std::vector<std::size_t>& entryOf) {
  using Key = std::tuple<std::string, std::uint32_t, std::uint16_t>;
  std::map<Key, std::vector<std::size_t>> byDevice;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const connection::DeviceAddress& address = devices[i].address;
    std::string host = address.address == 0 ? devices[i].host : "";
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    byDevice[{host, address.address, address.port}].push_back(i);
  }
  constexpr std::size_t kShown = 10;  // a range given twice repeats every address in it
  std::string text;
  std::size_t repeated = 0;
  for (const auto& [key, at] : byDevice) {
    if (at.size() < 2 || ++repeated > kShown) continue;
    const std::string device =
        std::get<0>(key).empty() ? devices[at[0]].address.ToString() : devices[at[0]].label;
    text += "quento-cli: device " + device + " is given " + std::to_string(at.size()) + " times:";
    for (const std::size_t i : at) {
      const DeviceEntry& entry = entries[entryOf[i]];
      text += (i == at[0] ? " '" : ", '") + entry.text + "' (" + Where(entry.origin) + ")";
    }
    text += '\n';
  }
  if (repeated > kShown) {
    text += "quento-cli: and " + std::to_string(repeated - kShown) + " more devices given twice\n";
  }
  return text;
}

}  // namespace

std::string Where(const EntryOrigin& origin) {
  if (origin.file.empty()) return "the command line";
  return origin.file + " line " + std::to_string(origin.line);
}

std::string GatherDevices(const std::vector<std::string>& given, const std::string& devicesFile,
                          const Environment& env, FleetOptions& fleet) {
  // The entries as typed end here: ten thousand lines of a devices file need not stay for the
  // whole run.
  std::vector<DeviceEntry> entries;
  for (const std::string& text : given) entries.push_back({text, {}});
  if (const std::string error = ReadDevicesFile(devicesFile, entries); !error.empty()) {
    return "quento-cli: " + error + '\n';
  }
  std::vector<std::size_t> entryOf;  // each device's entry
  if (std::string refused = Expand(entries, fleet.devices, entryOf); !refused.empty()) {
    return refused;
  }
  if (fleet.devices.empty()) {
    return "quento-cli: no device given\nRun with --help for more information.\n";
  }
  // Ten thousand devices are held for the whole run: no room for more.
  fleet.devices.shrink_to_fit();
  ResolveNames(fleet, env);
  return Repeated(entries, fleet.devices, entryOf);
}

std::string TooFewFiles(std::size_t jobs, std::size_t devices, std::uint64_t ownFiles,
                        std::uint64_t limit) {
  const std::size_t atOnce = jobs == 0 ? devices : std::min(jobs, devices);
  const std::uint64_t reserved = kReservedFiles + ownFiles;
  const std::uint64_t need = atOnce + reserved;
  if (limit == 0 || need <= limit) return {};
  std::string text = "quento-cli: " + std::to_string(atOnce) + " device" +
                     (atOnce == 1 ? "" : "s") + " at once need about " + std::to_string(need) +
                     " open files, but the limit is " + std::to_string(limit) +
                     "; raise it (ulimit -n " + std::to_string(need) + ")";
  if (limit > reserved) {
    text += " or use a smaller -j (at most " + std::to_string(limit - reserved) + ")";
  }
  return text;
}

void ListDevices(const FleetOptions& fleet, std::ostream& out) {
  std::size_t unresolved = 0;
  for (std::size_t i = 0; i < fleet.devices.size(); ++i) {
    const connection::DeviceTarget& device = fleet.devices[i];
    out << device.label;
    if (const auto why = fleet.unresolved.find(i); why != fleet.unresolved.end()) {
      out << ": not resolved (" << why->second << ")";
      ++unresolved;
    } else if (!device.host.empty()) {
      out << " (" << device.address.ToString() << ")";
    }
    out << '\n';
  }
  out << "dry run: " << fleet.devices.size() << " device" << (fleet.devices.size() == 1 ? "" : "s")
      << ", " << unresolved << " not resolved; none contacted\n"
      << std::flush;
}

}  // namespace quento::cli
