// Simulated devices in this process on loopback, served as quento-device serves its --listen
// addresses, and what they hold once downloads have completed.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/simulator.h"
#include "support/wait_until.h"

namespace quento::testing {

struct SimulatedDevices {
  explicit SimulatedDevices(device::SimulatorOptions options) {
    options.keepCompleted = true;  // ImagesOnceCompleted() reads them
    simulator = std::make_unique<device::Simulator>(std::move(options));
    std::string error;
    EXPECT_TRUE(simulator->Start(&error)) << error;
    for (const auto& e : simulator->endpoints()) at.push_back(e.ToString());
  }
  // Every device of `listen` with `fault` (as quento-device takes them).
  explicit SimulatedDevices(const std::string& listen, const std::string& fault = "")
      : SimulatedDevices(Options(listen, fault)) {}

  // What each device holds once `count` completions have arrived, at most 10 s from now: the
  // tool does not wait for a device to act on its completion frame.
  std::map<std::string, std::string> ImagesOnceCompleted(std::size_t count) const {
    WaitUntil([&] { return simulator->completed().size() >= count; }, std::chrono::seconds(10));
    std::map<std::string, std::string> held;
    for (const auto& done : simulator->completed())
      held[done.device.ToString()] = std::string(done.image.begin(), done.image.end());
    return held;
  }

  std::unique_ptr<device::Simulator> simulator;
  std::vector<std::string> at;  // "ADDR:PORT" of each device

 private:
  static device::SimulatorOptions Options(const std::string& listen, const std::string& fault) {
    device::SimulatorOptions options{.listen = {listen}};
    std::string error;
    EXPECT_TRUE(fault.empty() || device::AddFault(fault, options.faults, &error)) << error;
    return options;
  }
};

}  // namespace quento::testing
