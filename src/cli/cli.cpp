#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <tuple>

#include "cli/devices_file.h"
#include "cli/display.h"
#include "cli/fleet.h"
#include "cli/report.h"
#include "cli/trace.h"
#include "connection/resolver.h"
#include "platform/digest.h"
#include "platform/file.h"
#include "platform/program.h"
#include "quento_version.h"

namespace quento::cli {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A run this large is a slip (a /8 in a devices file, a list pasted twice), not a plant.
constexpr std::size_t kMaxDevices = 100000;
constexpr int kMaxRetries = 100;
constexpr double kMaxRetryDelay = 3600;
// Descriptors besides the devices' sockets: standard streams, the firmware file, the event
// loop's own, and some slack for the C library.
constexpr std::uint64_t kReservedFiles = 16;

struct Arguments {
  std::string firmware;
  std::vector<std::string> devices;
  std::size_t jobs = 0;
  std::string devicesFile;
  std::string pacing = "standard";
  bool json = false;
  std::string trace;
  std::string report;
  std::string station;
  int retries = 0;
  double retryDelay = 2;
  bool dryRun = false;
};

// A whole decimal number up to `max`: CLI11 alone would also take 0x10 and 1e3.
CLI::Validator WholeNumber(int max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        if (connection::ParseDecimal(text, static_cast<std::uint32_t>(max))) return {};
        return "'" + text + "' is not a whole number from 0 to " + std::to_string(max);
      },
      "0.." + std::to_string(max));
}

// Seconds as digits with an optional fraction, up to `max`: no nan, inf, sign or exponent.
CLI::Validator Seconds(double max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        const std::size_t dot = text.find('.');
        const std::string whole = text.substr(0, dot);
        const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
        const auto digits = [](const std::string& part) {
          return part.find_first_not_of("0123456789") == std::string::npos;
        };
        const bool ok = !(whole.empty() && fraction.empty()) && digits(whole) && digits(fraction) &&
                        whole.size() <= 4 && std::strtod(text.c_str(), nullptr) <= max;
        if (ok) return {};
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", max);
        return "'" + text + "' is not a number of seconds from 0 to " + limit;
      },
      "SECONDS");
}

// Tells the display and the report alike.
class BothObservers final : public FleetObserver {
 public:
  BothObservers(FleetObserver& first, FleetObserver* second) : m_first(first), m_second(second) {}
  void OnStart(std::size_t index, const DeviceResult& attempt) override {
    m_first.OnStart(index, attempt);
    if (m_second != nullptr) m_second->OnStart(index, attempt);
  }
  void OnProgress(std::size_t index, op::Phase phase, int done, int total) override {
    m_first.OnProgress(index, phase, done, total);
    if (m_second != nullptr) m_second->OnProgress(index, phase, done, total);
  }
  void OnFinish(std::size_t index, const DeviceResult& result) override {
    m_first.OnFinish(index, result);
    if (m_second != nullptr) m_second->OnFinish(index, result);
  }
  void OnTick() override {
    m_first.OnTick();
    if (m_second != nullptr) m_second->OnTick();
  }

 private:
  FleetObserver& m_first;
  FleetObserver* m_second;
};

std::string Summary(const std::vector<DeviceResult>& results, double seconds) {
  std::size_t succeeded = 0;
  std::size_t interrupted = 0;
  std::map<std::string, std::size_t> failures;
  for (const DeviceResult& r : results) {
    if (r.report.outcome == op::Outcome::kSuccess) {
      ++succeeded;
    } else if (r.report.outcome == op::Outcome::kCancelled) {
      ++interrupted;
    } else {
      ++failures[std::string(op::NameOf(r.report.outcome))];
    }
  }
  std::size_t failed = 0;
  std::string byOutcome;
  for (const auto& [name, count] : failures) {
    failed += count;
    byOutcome += (byOutcome.empty() ? " (" : ", ") + name + ": " + std::to_string(count);
  }
  if (!byOutcome.empty()) byOutcome += ')';
  char time[32];
  std::snprintf(time, sizeof time, "%.2f s", seconds);
  std::string line = "summary: " + std::to_string(results.size()) + " device" +
                     (results.size() == 1 ? "" : "s") + ", " + std::to_string(succeeded) +
                     " succeeded, " + std::to_string(failed) + " failed" + byOutcome;
  if (interrupted > 0) line += ", " + std::to_string(interrupted) + " interrupted";
  return line + ", " + time;
}

// The message when `atOnce` sockets (and `reserved` other files) would not fit under `limit`;
// empty when they fit.
std::string TooFewFiles(std::size_t atOnce, std::uint64_t reserved, std::uint64_t limit) {
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
      text += (i == at[0] ? " '" : ", '") + entry.text + "' (" + entry.where + ")";
    }
    text += '\n';
  }
  if (repeated > kShown) {
    text += "quento-cli: and " + std::to_string(repeated - kShown) + " more devices given twice\n";
  }
  return text;
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

// --dry-run: every device the run would contact, one a line, a name with the address it
// resolved to or why it did not.
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

int StopStatus(const Environment& env) {
  const int status = env.stopStatus != nullptr ? env.stopStatus->load() : 0;
  return status != 0 ? status : platform::kInterruptedStatus;
}

}  // namespace

int RunCli(int argc, const char* const* argv, const Environment& env) {
  Arguments args;
  CLI::App app{
      "Downloads a firmware image into devices listening on TCP port 18810: greeting, every "
      "1024-byte block written and read back, completion. Exit status: 0 all succeeded, 1 some "
      "failed, 2 usage or firmware file problem (or too few open files for the devices at once), "
      "130 Ctrl-C, 143 SIGTERM, 129 SIGHUP (every device still recorded; a second request ends "
      "at once).",
      "quento-cli"};
  app.add_option("FIRMWARE", args.firmware, "The image file (at most 262,144 bytes)")->required();
  app.add_option("DEVICE", args.devices,
                 "A device (ADDR), a range (FIRST-LAST, e.g. 10.3.0.11-10.3.0.42), a CIDR block "
                 "(NET/PREFIX, e.g. 10.3.0.0/27: its host addresses) or a host name, each with "
                 "an optional :PORT (default 18810)");
  app.add_option("-j,--jobs", args.jobs, "Devices downloaded at once (default: all)")
      ->check(CLI::PositiveNumber);
  app.add_option("--devices-file", args.devicesFile,
                 "More devices, one per line; blank lines and # comments are ignored");
  app.add_option("--pacing", args.pacing,
                 "standard: the loader's fixed pauses; fast: only wait for each reply")
      ->check(CLI::IsMember({"standard", "fast"}));
  app.add_flag("--json", args.json, "One JSON object per attempt on stdout (JSON Lines)");
  app.add_option("--trace", args.trace, "Write every frame sent and reply received to this file");
  app.add_option("--report", args.report,
                 "Record every device's result: FILE.csv gets a row per attempt as it ends "
                 "(appended), FILE.xml the run as a JUnit test suite");
  app.add_option("--station", args.station,
                 "The station's name in the report (default: this computer's host name)");
  app.add_option("--retries", args.retries,
                 "Try a device that failed on its side (connect_failed, send_failed, no_response, "
                 "verify_failed, error) up to N more times (default 0, at most 100)")
      ->check(WholeNumber(kMaxRetries));
  app.add_option("--retry-delay", args.retryDelay,
                 "Seconds before a device is tried again (default 2; fractions allowed, at most "
                 "3600); other devices go on meanwhile")
      ->check(Seconds(kMaxRetryDelay));
  app.add_flag("--dry-run", args.dryRun,
               "List every device the run would contact, names with the address they resolve "
               "to, and any repeat found; contact none");
  app.footer(
      "Examples:\n"
      "  quento-cli firmware.bin 10.3.0.13 10.3.0.20-10.3.0.29 10.3.1.0/27\n"
      "  quento-cli --retries 2 --retry-delay 0.5 firmware.bin line3-slot07 line3-slot08:18810\n"
      "  quento-cli -j 64 --devices-file plant.txt --report shift.csv firmware.bin\n"
      "  quento-cli --dry-run --devices-file plant.txt firmware.bin");
  app.set_version_flag("--version", "quento-cli " QUENTO_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, env.out, env.err) == 0 ? 0 : kExitUsage;
  }

  // The run's time includes the names' lookups.
  const auto start = std::chrono::steady_clock::now();
  std::vector<DeviceEntry> entries;
  for (const std::string& text : args.devices) entries.push_back({text, "the command line"});
  if (const std::string error = ReadDevicesFile(args.devicesFile, entries); !error.empty()) {
    env.err << "quento-cli: " << error << '\n';
    return kExitUsage;
  }
  FleetOptions fleet;
  std::vector<std::size_t> entryOf;  // each device's entry
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::string error;
    if (!Targets(entries[i], fleet.devices, error)) {
      const bool file = entries[i].where != "the command line";
      env.err << "quento-cli: " << (file ? entries[i].where + ": " : "")
              << (error.empty() ? "'" + entries[i].text + "' is not a device" : error)
              << " (ADDR, FIRST-LAST, NET/PREFIX or a host name, each with an optional :PORT)\n";
      return kExitUsage;
    }
    entryOf.resize(fleet.devices.size(), i);
    if (fleet.devices.size() > kMaxDevices) {
      env.err << "quento-cli: more than " << kMaxDevices << " devices in one run (at "
              << entries[i].where << "); split the list\n";
      return kExitUsage;
    }
  }
  if (fleet.devices.empty()) {
    env.err << "quento-cli: no device given\nRun with --help for more information.\n";
    return kExitUsage;
  }
  // Ten thousand devices are held for the whole run: no room for more.
  fleet.devices.shrink_to_fit();
  ResolveNames(fleet, env);
  if (const std::string repeated = Repeated(entries, fleet.devices, entryOf); !repeated.empty()) {
    env.err << repeated;
    return kExitUsage;
  }
  // The entries as typed are done with: ten thousand lines of a devices file need not stay for
  // the whole run.
  std::vector<DeviceEntry>().swap(entries);
  std::vector<std::size_t>().swap(entryOf);

  // One read of the file for every device, before any of them is contacted.
  image::LoadResult firmware = image::LoadFirmware(platform::PathFromUtf8(args.firmware));
  if (firmware.status != image::LoadStatus::kOk) {
    const op::Outcome outcome = protocol::FileCheckOutcome(firmware.status);
    env.err << "quento-cli: " << args.firmware << ": " << op::MessageFor(outcome) << '\n';
    if (args.json) {
      DeviceResult result;
      result.device = "";
      result.report.outcome = outcome;
      env.out << ResultJson(result, "") << '\n';
    }
    return kExitUsage;
  }

  const std::size_t atOnce =
      args.jobs == 0 ? fleet.devices.size() : std::min(args.jobs, fleet.devices.size());
  const std::uint64_t ownFiles =
      kReservedFiles + (args.trace.empty() ? 0 : 1) + (args.report.empty() ? 0 : 1);
  const std::string tooFew = TooFewFiles(atOnce, ownFiles, env.openFileLimit);
  if (!tooFew.empty()) {
    env.err << tooFew << '\n';
    return kExitUsage;
  }
  if (args.dryRun) {
    ListDevices(fleet, env.out);
    return 0;
  }

  std::unique_ptr<TraceLog> trace;
  if (const std::string error = OpenTrace(args.trace, trace); !error.empty()) {
    env.err << "quento-cli: " << error << '\n';
    return kExitUsage;
  }

  // The file's bytes as read: the name of the image in every record of the run.
  const std::string sha256 = platform::Sha256Hex(firmware.image.bytes());
  std::unique_ptr<Report> report;
  if (!args.report.empty()) {
    std::string error;
    report = Report::Open(args.report, args.firmware, sha256, args.station, error, &env.err);
    if (!report) {
      env.err << "quento-cli: " << error << '\n';
      return kExitUsage;
    }
  }

  fleet.image = std::move(firmware.image);
  fleet.jobs = args.jobs;
  fleet.fast = args.pacing == "fast";
  fleet.trace = trace.get();
  fleet.cancel = env.cancel;
  fleet.stopStatus = env.stopStatus;
  fleet.connectWait = env.connectWait;
  fleet.retries = args.retries;
  fleet.retryDelay = std::chrono::milliseconds(std::llround(args.retryDelay * 1000));
  const DisplayMode mode = args.json      ? DisplayMode::kJson
                           : env.terminal ? DisplayMode::kTerminal
                                          : DisplayMode::kPlain;
  std::vector<DeviceResult> results;
  {
    std::unique_ptr<Display> display =
        MakeDisplay(mode, env.out, fleet.devices.size(), env.rows, env.columns, sha256);
    BothObservers observers(*display, report.get());
    results = RunFleet(fleet, observers);
    display->Finish();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  (args.json ? env.err : env.out) << Summary(results, seconds) << ", image sha256 " << sha256
                                  << '\n'
                                  << std::flush;
  // A run whose record is incomplete must not pass for a clean one.
  const bool recorded = report == nullptr || report->Finish(results, seconds);
  if (!recorded) env.err << "quento-cli: cannot write report '" << args.report << "'\n";
  const bool traced = trace == nullptr || trace->error().empty();
  if (!traced) {
    env.err << "quento-cli: cannot write trace file '" << args.trace << "': " << trace->error()
            << "; the frames from then on are missing\n";
  }

  if (env.cancel != nullptr && env.cancel->load()) return StopStatus(env);
  for (const DeviceResult& r : results) {
    if (r.report.outcome != op::Outcome::kSuccess) return kExitFailed;
  }
  return recorded && traced ? 0 : kExitFailed;
}

}  // namespace quento::cli
