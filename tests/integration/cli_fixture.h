// Runs quento-cli in-process against simulated devices on loopback.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "cli/cli.h"
#include "device/simulator.h"

namespace quento::testing {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The JSON objects of a --json run, in the order the devices ended.
  std::vector<nlohmann::json> Objects() const {
    std::vector<nlohmann::json> objects;
    for (const std::string& line : Lines()) objects.push_back(nlohmann::json::parse(line));
    return objects;
  }
};

inline CliRun RunCliWith(std::vector<std::string> args, const std::atomic<bool>* cancel = nullptr) {
  args.insert(args.begin(), "quento-cli");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  CliRun run;
  run.status = cli::RunCli(static_cast<int>(argv.size()), argv.data(),
                           cli::Environment{out, err, false, cancel});
  run.out = out.str();
  run.err = err.str();
  return run;
}

inline std::string PatternImage(std::size_t size, unsigned seed = 1) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 17) % 256);
  return data;
}

// The completions once `count` have arrived, or what there is after two seconds.
inline std::vector<device::CompletedImage> WaitForCompletions(const device::Simulator& simulator,
                                                              std::size_t count) {
  for (int i = 0; i < 400 && simulator.completed().size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return simulator.completed();
}

// A simulator on 127.0.0.1, a free port, with the given faults for every device.
class SimulatedDevice {
 public:
  explicit SimulatedDevice(const std::vector<std::string>& faults = {},
                           std::vector<std::string> listen = {"127.0.0.1:0"}) {
    device::SimulatorOptions options;
    options.listen = std::move(listen);
    for (const std::string& fault : faults) {
      std::string error;
      EXPECT_TRUE(device::AddFault(fault, options.faults, &error)) << error;
    }
    m_simulator = std::make_unique<device::Simulator>(std::move(options));
    std::string error;
    EXPECT_TRUE(m_simulator->Start(&error)) << error;
  }

  device::Simulator& simulator() { return *m_simulator; }
  std::string address(std::size_t i = 0) const { return m_simulator->endpoints().at(i).ToString(); }
  std::vector<std::string> addresses() const {
    std::vector<std::string> out;
    for (const auto& e : m_simulator->endpoints()) out.push_back(e.ToString());
    return out;
  }
  // The image the device holds after its last completion, as the operator's file. The tool
  // does not wait for the device to act on the completion frame, so neither can we at once.
  std::string LastImage() const {
    const auto done = WaitForCompletions(*m_simulator, 1);
    if (done.empty()) return "<none>";
    return std::string(done.back().image.begin(), done.back().image.end());
  }

 private:
  std::unique_ptr<device::Simulator> m_simulator;
};

}  // namespace quento::testing
