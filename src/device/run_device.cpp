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

}  // namespace

int RunDevice(int argc, char** argv) {
  CLI::App app{"quento-device: a simulated Quento firmware loader (one or many devices) on TCP"};
  app.set_version_flag("--version", "quento-device " QUENTO_VERSION);
  std::vector<std::string> listen;
  std::string save;
  std::vector<std::string> faults;
  app.add_option("--listen", listen,
                 "ADDR[:PORT] or ADDR1-ADDR2[:PORT] (at most 65536 addresses); each address "
                 "is its own device (default 127.0.0.1:18810; port 0 picks a free port). Up to "
                 "256 addresses on one port get a listening socket each; more than 256 share "
                 "one socket on 0.0.0.0:PORT (port 0: one free port for them all) that closes "
                 "connections to addresses not listed")
      ->type_name("ADDR[:PORT]");
  app.add_option("--save", save, "Save every completed image under DIR")->type_name("DIR");
  app.add_option("--fault", faults,
                 "[ADDR[-ADDR2]/]FAULT: a fault for every device, or for the given address(es). "
                 "FAULT: silent | ignore-greeting:N | drop-ack:B[:N|always] | "
                 "wrong-ack:B[:N|always] | corrupt-read:B[:OFFSET] | wrong-read-index:N | "
                 "delay:MS | split:GAP_MS | junk:N | close-after:N")
      ->type_name("[ADDR/]FAULT");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, platform::StandardOutput(), platform::StandardError());
    return code == 0 ? 0 : kExitUsage;
  }

  SimulatorOptions options;
  if (!listen.empty()) options.listen = listen;
  options.saveDir = platform::PathFromUtf8(save);
  std::vector<DeviceAddress> endpoints;
  for (const auto& text : options.listen) {
    std::string error;
    if (!ParseListen(text, endpoints, &error)) return Usage(error);
  }

  // Faults for every device first; an address's own faults are added on top of them.
  std::vector<std::pair<connection::AddressRange, std::string_view>> perAddress;
  for (const std::string& fault : faults) {
    std::string error;
    const std::size_t slash = fault.find('/');
    if (slash == std::string::npos) {
      if (!AddFault(fault, options.faults, &error)) return Usage(error);
      continue;
    }
    const auto range = connection::ParseAddressRange(std::string_view(fault).substr(0, slash),
                                                     ParseListenAddress, &error);
    if (!range) return Usage(error);
    FaultPlan check;
    if (!AddFault(std::string_view(fault).substr(slash + 1), check, &error)) return Usage(error);
    perAddress.emplace_back(*range, std::string_view(fault).substr(slash + 1));
  }
  for (const auto& [range, text] : perAddress) {
    range.ForEach([&](std::uint32_t address) {
      auto [it, added] = options.faultsByAddress.try_emplace(address, options.faults);
      AddFault(text, it->second, nullptr);
    });
  }

  options.log = [](std::string_view line) { platform::StandardOutput() << line << std::endl; };

  // Before any thread starts: see StopRequestWait.
  platform::StopRequestWait stopRequest;
  // Connections are descriptors: a fleet needs more than the usual 1024.
  platform::RaiseOpenFileLimit();

  Simulator simulator(std::move(options));
  std::string error;
  int status = 0;
  if (simulator.Start(&error)) {
    stopRequest.Wait();
    simulator.Stop();
  } else {
    platform::StandardError() << "quento-device: " << error << '\n';
    status = kExitFailure;
  }
  return status;
}

}  // namespace quento::device
