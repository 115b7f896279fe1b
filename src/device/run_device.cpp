// quento-device's command line.
#include <CLI/CLI.hpp>

#include "device/listen_address.h"
#include "device/simulator.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/limits.h"
#include "platform/program.h"
#include "quento_version.h"

namespace quento::device {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

int Usage(const std::string& message) {
  platform::StandardError() << "quento-device: " << message
                            << "\nRun with --help for more information.\n";
  return kExitUsage;
}

// What the command line holds, as typed.
struct Arguments {
  std::vector<std::string> listen;
  std::string save;
  std::vector<std::string> faults;
};

void AddOptions(CLI::App& app, Arguments& args) {
  app.set_version_flag("--version", "quento-device " QUENTO_VERSION);
  app.add_option("--listen", args.listen,
                 "ADDR[:PORT] or ADDR1-ADDR2[:PORT] (at most 65536 addresses); each address "
                 "is its own device (default 127.0.0.1:18810; port 0 picks a free port). Up to "
                 "256 addresses on one port get a listening socket each; more than 256 share "
                 "one socket on 0.0.0.0:PORT (port 0: one free port for them all) that closes "
                 "connections to addresses not listed")
      ->type_name("ADDR[:PORT]");
  app.add_option("--save", args.save, "Save every completed image under DIR")->type_name("DIR");
  app.add_option("--fault", args.faults,
                 "[ADDR[-ADDR2]/]FAULT: a fault for every device, or for the given address(es). "
                 "FAULT: silent | ignore-greeting:N | drop-ack:B[:N|always] | "
                 "wrong-ack:B[:N|always] | corrupt-read:B[:OFFSET] | wrong-read-index:N | "
                 "delay:MS | split:GAP_MS | junk:N | trailing:N | close-after:N | "
                 "wedge-after-drop | keep-first-write")
      ->type_name("[ADDR/]FAULT");
}

bool CheckListen(const std::vector<std::string>& listen, std::string& error) {
  std::vector<DeviceAddress> endpoints;
  for (const auto& text : listen) {
    if (!ParseListen(text, endpoints, &error)) return false;
  }
  return true;
}

// Faults for every device first; an address's own faults are added on top of them.
bool AddFaults(const std::vector<std::string>& faults, SimulatorOptions& options,
               std::string& error) {
  std::vector<std::pair<connection::AddressRange, std::string_view>> perAddress;
  for (const std::string& fault : faults) {
    const std::size_t slash = fault.find('/');
    if (slash == std::string::npos) {
      if (!AddFault(fault, options.faults, &error)) return false;
      continue;
    }
    const auto range = connection::ParseAddressRange(std::string_view(fault).substr(0, slash),
                                                     ParseListenAddress, &error);
    if (!range) return false;
    FaultPlan check;
    if (!AddFault(std::string_view(fault).substr(slash + 1), check, &error)) return false;
    perAddress.emplace_back(*range, std::string_view(fault).substr(slash + 1));
  }
  for (const auto& [range, text] : perAddress) {
    range.ForEach([&](std::uint32_t address) {
      auto [it, added] = options.faultsByAddress.try_emplace(address, options.faults);
      AddFault(text, it->second, nullptr);
    });
  }
  return true;
}

// Runs the devices until the operator stops them.
int Serve(SimulatorOptions options) {
  options.log = [](std::string_view line) { platform::StandardOutput() << line << std::endl; };

  // Before any thread starts: see StopRequestWait.
  platform::StopRequestWait stopRequest;
  // Connections are descriptors: a fleet needs more than the usual 1024.
  platform::RaiseOpenFileLimit();

  Simulator simulator(std::move(options));
  std::string error;
  if (!simulator.Start(&error)) {
    platform::StandardError() << "quento-device: " << error << '\n';
    return kExitFailure;
  }
  stopRequest.Wait();
  simulator.Stop();
  return 0;
}

}  // namespace

int RunDevice(int argc, char** argv) {
  CLI::App app{"quento-device: a simulated Quento firmware loader (one or many devices) on TCP"};
  Arguments args;
  AddOptions(app, args);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, platform::StandardOutput(), platform::StandardError());
    return code == 0 ? 0 : kExitUsage;
  }

  SimulatorOptions options;
  if (!args.listen.empty()) options.listen = args.listen;
  options.saveDir = platform::PathFromUtf8(args.save);
  std::string error;
  if (!CheckListen(options.listen, error) || !AddFaults(args.faults, options, error)) {
    return Usage(error);
  }
  return Serve(std::move(options));
}

}  // namespace quento::device
