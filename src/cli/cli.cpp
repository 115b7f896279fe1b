#include "cli/cli.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "cli/arguments.h"
#include "cli/device_list.h"
#include "cli/display.h"
#include "cli/fleet.h"
#include "cli/report.h"
#include "cli/summary.h"
#include "cli/trace.h"
#include "platform/digest.h"
#include "platform/file.h"
#include "platform/program.h"

namespace quento::cli {
namespace {

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

// One read of the file for every device, before any of them is contacted. False, with the
// reason said (and, with --json, the object of a device-less result), when it cannot be used.
bool ReadFirmware(const Arguments& args, const Environment& env, image::FirmwareImage& image) {
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
    return false;
  }
  image = std::move(firmware.image);
  return true;
}

// Files the run itself holds open besides the devices' sockets and the program's own.
std::uint64_t OwnFiles(const Arguments& args) {
  return (args.trace.empty() ? 0 : 1) + (args.report.empty() ? 0 : 1);
}

// --report FILE, opened before any device is contacted; none without the option. False, with
// the reason said, when it cannot be written.
bool OpenReport(const Arguments& args, const std::string& sha256, const Environment& env,
                std::unique_ptr<Report>& report) {
  if (args.report.empty()) return true;
  std::string error;
  report = Report::Open(args.report, args.firmware, sha256, args.station, error, &env.err);
  if (!report) env.err << "quento-cli: " << error << '\n';
  return report != nullptr;
}

// Downloads the image into every device of `fleet`, shown on the display `args` and `env`
// choose and told to the report (when there is one) as each device ends.
std::vector<DeviceResult> Download(FleetOptions& fleet, const Arguments& args,
                                   const Environment& env, TraceLog* trace, Report* report,
                                   const std::string& sha256) {
  fleet.jobs = args.jobs;
  fleet.fast = args.pacing == "fast";
  fleet.trace = trace;
  fleet.cancel = env.cancel;
  fleet.stopStatus = env.stopStatus;
  fleet.connectWait = env.connectWait;
  fleet.retries = args.retries;
  fleet.retryDelay = std::chrono::milliseconds(std::llround(args.retryDelay * 1000));
  const DisplayMode mode = args.json      ? DisplayMode::kJson
                           : env.terminal ? DisplayMode::kTerminal
                                          : DisplayMode::kPlain;
  std::unique_ptr<Display> display =
      MakeDisplay(mode, env.out, fleet.devices.size(), env.rows, env.columns, sha256);
  BothObservers observers(*display, report);
  std::vector<DeviceResult> results = RunFleet(fleet, observers);
  display->Finish();
  return results;
}

// True when the trace file, if any, took every frame; otherwise says from when frames are missing.
bool TraceComplete(const TraceLog* trace, const Arguments& args, const Environment& env) {
  if (trace == nullptr || trace->error().empty()) return true;
  env.err << "quento-cli: cannot write trace file '" << args.trace << "': " << trace->error()
          << "; the frames from then on are missing\n";
  return false;
}

}  // namespace

int RunCli(int argc, const char* const* argv, const Environment& env) {
  Arguments args;
  if (const std::optional<int> status = ParseArguments(argc, argv, args, env.out, env.err)) {
    return *status;
  }

  // The run's time includes the names' lookups.
  const auto start = std::chrono::steady_clock::now();
  FleetOptions fleet;
  if (const std::string refused = GatherDevices(args.devices, args.devicesFile, env, fleet);
      !refused.empty()) {
    env.err << refused;
    return kExitUsage;
  }
  if (!ReadFirmware(args, env, fleet.image)) return kExitUsage;
  if (const std::string tooFew =
          TooFewFiles(args.jobs, fleet.devices.size(), OwnFiles(args), env.openFileLimit);
      !tooFew.empty()) {
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
  const std::string sha256 = platform::Sha256Hex(fleet.image.bytes());
  std::unique_ptr<Report> report;
  if (!OpenReport(args, sha256, env, report)) return kExitUsage;

  const std::vector<DeviceResult> results =
      Download(fleet, args, env, trace.get(), report.get(), sha256);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  (args.json ? env.err : env.out) << Summary(results, seconds) << ", image sha256 " << sha256
                                  << '\n'
                                  << std::flush;
  const bool recorded = report == nullptr || report->Finish(results, seconds);
  if (!recorded) env.err << "quento-cli: cannot write report '" << args.report << "'\n";
  const bool traced = TraceComplete(trace.get(), args, env);
  return ExitStatus(results, recorded && traced, env.cancel, env.stopStatus);
}

}  // namespace quento::cli
