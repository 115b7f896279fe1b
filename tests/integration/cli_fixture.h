// Runs quento-cli in-process against simulated devices on loopback.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "connection/address.h"
#include "device/simulator.h"
#include "support/temp_dir.h"

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

// What the program would take from the process it runs in.
struct Surroundings {
  const std::atomic<bool>* cancel = nullptr;
  std::uint64_t openFileLimit = 0;
  std::chrono::milliseconds connectWait = connection::kConnectWait;
};

inline CliRun RunCliWith(std::vector<std::string> args, Surroundings around = {}) {
  args.insert(args.begin(), "quento-cli");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  cli::Environment env{out, err, false, around.cancel};
  env.openFileLimit = around.openFileLimit;
  env.connectWait = around.connectWait;
  CliRun run;
  run.status = cli::RunCli(static_cast<int>(argv.size()), argv.data(), env);
  run.out = out.str();
  run.err = err.str();
  return run;
}

inline std::string PatternImage(std::size_t size, unsigned seed = 1) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed * 17) % 256);
  return data;
}

inline std::string Firmware(const TempDir& dir, std::size_t size) {
  return dir.Write("fw.bin", PatternImage(size)).string();
}

// The simulated devices of `listen` (as quento-device takes it), each with `faults`, or with
// `faultsAt` instead for the n-th address of the range (0 the first).
class SimulatedDevices {
 public:
  explicit SimulatedDevices(const std::string& listen = "127.0.0.1:0",
                            const std::vector<std::string>& faults = {},
                            const std::map<std::uint32_t, std::string>& faultsAt = {}) {
    device::SimulatorOptions options;
    options.listen = {listen};
    std::string error;
    for (const std::string& fault : faults) {
      EXPECT_TRUE(device::AddFault(fault, options.faults, &error)) << error;
    }
    const auto first = connection::ParseIpv4(listen.substr(0, listen.find_first_of("-:")));
    for (const auto& [n, fault] : faultsAt) {
      EXPECT_TRUE(device::AddFault(fault, options.faultsByAddress[*first + n], &error)) << error;
    }
    m_simulator = std::make_unique<device::Simulator>(std::move(options));
    EXPECT_TRUE(m_simulator->Start(&error)) << error;
  }

  device::Simulator& simulator() { return *m_simulator; }
  std::string address(std::size_t i = 0) const { return m_simulator->endpoints().at(i).ToString(); }
  std::vector<std::string> addresses() const {
    std::vector<std::string> out;
    for (const auto& e : m_simulator->endpoints()) out.push_back(e.ToString());
    return out;
  }
  // Every completion once `count` have arrived, or what there is after ten seconds. The tool
  // does not wait for a device to act on the completion frame, so neither can a test at once.
  std::vector<device::CompletedImage> Completions(std::size_t count) const {
    for (int i = 0; i < 2000 && m_simulator->completed().size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_simulator->completed();
  }
  // The image the device holds after its last completion, as the operator's file.
  std::string LastImage() const {
    const auto done = Completions(1);
    if (done.empty()) return "<none>";
    return std::string(done.back().image.begin(), done.back().image.end());
  }

 private:
  std::unique_ptr<device::Simulator> m_simulator;
};

// FIRMWARE followed by every address of `devices`.
inline std::vector<std::string> WithDevices(std::vector<std::string> args,
                                            const SimulatedDevices& devices) {
  const auto addresses = devices.addresses();
  args.insert(args.end(), addresses.begin(), addresses.end());
  return args;
}

}  // namespace quento::testing
