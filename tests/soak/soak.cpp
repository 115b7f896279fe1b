// Rounds of in-process runs of quento-cli against simulated devices with random (seeded) faults,
// retries, names and Ctrl-C at a random moment, several rounds at once. After every round an
// oracle checks what must hold whatever happened:
//   - a device whose final record is a success holds exactly the operator's image;
//   - every device has exactly one final record, its attempts numbered 1, 2, ... once each, the
//     same in the JSON Lines and the CSV;
//   - no address was ever served two downloads at once;
//   - two entries for one device (a name and its alias) are refused before anything is sent.
// Nothing may leak a descriptor or a thread.
//   quento_soak [SEED [ROUNDS [names]]]   names: the hosts file has the lines of --hosts
//   quento_soak --hosts
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stop_token>
#include <thread>

#include "cli/display.h"
#include "cli/fleet.h"
#include "device/simulator.h"
#include "support/run_cli.h"
#include "support/wait_until.h"

namespace {

using namespace quento;
using quento::testing::WaitUntil;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kDevices = 16;
constexpr int kAtOnce = 6;  // rounds side by side, each on 127.0.(20 + slot).0/24

std::string Address(int slot, int device) {
  return "127.0." + std::to_string(20 + slot) + "." + std::to_string(device + 1);
}
std::string Name(int slot, int device) {
  return "soak-" + std::to_string(slot) + "-" + std::to_string(device + 1);
}

std::size_t Entries(const char* dir) {
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

// One fault for an image of `blocks` blocks. Those that cost a reply wait (a second each) come
// rarely, so that a round lasts about a second.
std::string Fault(std::mt19937& random, int blocks) {
  const auto n = [&](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(random); };
  const std::string block = std::to_string(n(0, blocks - 1));
  const std::string quick[] = {
      "corrupt-read:" + block + ":" + std::to_string(n(0, 1023)),
      "delay:" + std::to_string(n(0, 1)), "split:" + std::to_string(n(0, 1)),
      "junk:" + std::to_string(n(1, 64)), "close-after:" + std::to_string(n(0, 2 * blocks)),
      // After the last read-back: the device never takes the completion frame.
      "close-after:" + std::to_string(2 * blocks + 1)};
  const std::string slow[] = {"ignore-greeting:1", "drop-ack:" + block,
                              "wrong-ack:" + block + ":" + std::to_string(n(1, 5)),
                              "wrong-read-index:" + std::to_string(n(1, 7))};
  if (n(0, 5) == 0) return slow[n(0, static_cast<int>(std::size(slow)) - 1)];
  return quick[n(0, static_cast<int>(std::size(quick)) - 1)];
}

// The devices of `dialled` (as given -> ADDR:PORT) and one more, `twin`, for the device at
// `whose`, as a fleet past every check of the command line; its JSON Lines into `out`.
int RunFleet(const fs::path& file, const std::map<std::string, std::string>& dialled, int retries,
             int delay, const std::string& twin, const std::string& whose,
             const std::atomic<bool>& cancel, std::ostringstream& out) {
  std::ifstream in(file, std::ios::binary);
  cli::FleetOptions fleet{.devices = {{{}, *connection::ParseDevice(whose), twin}},
                          .image = image::FirmwareImage({std::istreambuf_iterator<char>(in), {}}),
                          .fast = true,
                          .cancel = &cancel,
                          .retries = retries,
                          .retryDelay = delay * 50ms};
  for (const auto& [given, at] : dialled)
    fleet.devices.push_back({{}, *connection::ParseDevice(at), given});
  const auto results =
      cli::RunFleet(fleet, *cli::MakeDisplay(cli::DisplayMode::kJson, out, dialled.size() + 1));
  const auto success = [](auto& r) { return r.report.outcome == op::Outcome::kSuccess; };
  return cancel ? 130 : std::ranges::all_of(results, success) ? 0 : 1;
}

struct Round {
  std::uint32_t seed;
  int slot;
  bool names;
  fs::path dir;
  std::ostringstream broken;

  void Fail(const std::string& what) { broken << "round " << seed << ": " << what << '\n'; }

  void Run() {
    std::mt19937 random(seed);
    const auto n = [&](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(random); };
    std::string image(n(1, 20000), '\0');
    if (n(0, 15) == 0) image.resize(256 * 1024);
    for (char& c : image) c = static_cast<char>(random());
    const fs::path file = dir / ("fw-" + std::to_string(slot) + ".bin");
    std::ofstream(file, std::ios::binary) << image;
    const int blocks = static_cast<int>((image.size() + 1023) / 1024);

    device::SimulatorOptions options{
        .listen = {Address(slot, 0) + "-" + Address(slot, kDevices - 1) + ":0"},
        .keepCompleted = true};
    const std::uint32_t first = *connection::ParseIpv4(Address(slot, 0));
    for (std::uint32_t i = 0; i < kDevices; ++i)
      for (int k = n(0, 2); k > 0; --k)
        device::AddFault(Fault(random, blocks), options.faultsByAddress[first + i], nullptr);
    device::Simulator simulator(std::move(options));
    if (!simulator.Start(nullptr)) return Fail("the simulator did not start");

    const int retries = n(0, 2);
    const int delay = n(1, 10);  // in 50 ms: Ctrl-C may find a device waiting for its retry
    std::vector<std::string> args = {"--pacing",
                                     "fast",
                                     "--json",
                                     "--retries",
                                     std::to_string(retries),
                                     "--retry-delay",
                                     std::to_string(delay * 0.05),
                                     file.string()};
    std::map<std::string, std::string> dialled;  // the device as given -> ADDR:PORT
    for (int i = 0; i < kDevices; ++i) {
      const std::string at = simulator.endpoints()[i].ToString();
      const std::string port = at.substr(at.find(':'));
      const std::string given = names && n(0, 1) ? Name(slot, i) + port : at;
      dialled[given] = at;
      args.push_back(given);
    }
    // Now and then a slip the run must refuse before anything is sent: another name for a device
    // already given, or an address written as a number. Or, past every check of the command
    // line, one device twice in the fleet itself, which must still never be served twice at once.
    enum { kPlain, kTwice, kNumber, kPastTheChecks } kind = kPlain;
    if (n(0, 4) == 0) kind = static_cast<decltype(kind)>(n(names ? 1 : 2, 3));
    const int which = n(0, kDevices - 1);
    const std::string whose = simulator.endpoints()[which].ToString();
    const std::string port = whose.substr(whose.find(':'));
    if (kind == kTwice) args.push_back(Name(slot, which) + "-twin" + port);
    std::ostringstream number;  // 0x7f001401 for 127.0.20.1
    number << "0x" << std::hex << first + which << port;
    if (kind == kNumber) args[8 + which] = number.str();
    // Names or addresses in any order.
    std::shuffle(args.begin() + 8, args.end(), random);

    // Ctrl-C at a random moment, unless the run has ended by then.
    std::atomic<bool> cancel{false};
    std::jthread ctrlC;
    if (n(0, 3) == 0) {
      ctrlC = std::jthread([&cancel, after = n(0, 1500)](std::stop_token ended) {
        std::mutex mutex;
        std::unique_lock lock(mutex);
        std::condition_variable_any().wait_for(lock, ended, after * 1ms, [] { return false; });
        if (!ended.stop_requested()) cancel = true;
      });
    }
    std::ostringstream fleetOut;
    const testing::CliRun run =
        kind == kPastTheChecks ? testing::CliRun{RunFleet(file, dialled, retries, delay,
                                                          "twin" + port, whose, cancel, fleetOut),
                                                 fleetOut.str(), ""}
                               : testing::RunCli(args, &cancel);
    const int status = run.status;
    ctrlC = {};

    if (kind == kTwice || kind == kNumber) {
      if (status != 2 || simulator.framesReceived() != 0) Fail("a slip was not refused");
      return;
    }
    if (kind == kPastTheChecks) dialled["twin" + port] = whose;
    // Every record, and every device's last.
    std::map<std::string, std::pair<int, std::string>> last;  // device -> (attempt, outcome)
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const auto r = nlohmann::json::parse(line);
      auto& [seen, outcome] = last[r["device"]];
      if (r["attempt"] != ++seen) Fail(line + ": not attempt " + std::to_string(seen));
      outcome = r["outcome"];
      // A cancelled record says why, and nothing of an earlier attempt.
      if (outcome == "cancelled" && r.value("detail", "") != "interrupted (Ctrl-C)") Fail(line);
    }
    if (last.size() != dialled.size()) Fail(std::to_string(last.size()) + " devices recorded");
    bool allSucceeded = true;
    // What the device's last completion left in it, once it has taken the completion frame,
    // which gets no reply: a second at most.
    const auto holds = [&](const std::string& at) {
      return WaitUntil(
          [&] {
            std::optional<std::string> held;
            for (const auto& done : simulator.completed())
              if (done.device.ToString() == at)
                held = std::string(done.image.begin(), done.image.end());
            return held == image;
          },
          1s);
    };
    for (const auto& [device, final] : last) {
      const auto& [attempt, outcome] = final;
      allSucceeded = allSucceeded && outcome == "success";
      if (outcome == "cancelled" && !cancel) Fail(device + ": cancelled, but nobody asked");
      const bool retriable =
          outcome != "success" && outcome != "cancelled" && outcome != "socket_failed";
      if (retriable && attempt <= retries && !cancel) Fail(device + ": not tried again");
      if (outcome == "success" && !holds(dialled[device]))
        Fail(device + ": a success, but the device does not hold the image");
    }
    // Ctrl-C just as the run ends may or may not find a device left to stop.
    if (status != (allSucceeded ? 0 : 1) && !(cancel && status == 130))
      Fail("exit status " + std::to_string(status));
    if (simulator.interleavedFrames() != 0) Fail("a device was served two downloads at once");
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--hosts") {
    for (int slot = 0; slot < kAtOnce; ++slot)
      for (int i = 0; i < kDevices; ++i)
        std::cout << Address(slot, i) << ' ' << Name(slot, i) << ' ' << Name(slot, i) << "-twin\n";
    return 0;
  }
  const unsigned seed = argc > 1 ? std::stoul(argv[1]) : 1;
  const int rounds = argc > 2 ? std::stoi(argv[2]) : 6;
  const bool names = argc > 3 && std::string(argv[3]) == "names";
  const fs::path dir = fs::temp_directory_path() / ("quento-soak-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::thread([] {}).join();  // ThreadSanitizer's own thread, started on the first, is no leak
  const auto open = [] { return std::pair(Entries("/proc/self/fd"), Entries("/proc/self/task")); };
  const auto before = open();
  std::string broken;
  for (int round = 0; round < rounds; round += kAtOnce) {
    std::vector<Round> batch;
    for (int slot = 0; slot < kAtOnce && round + slot < rounds; ++slot)
      batch.push_back({seed + static_cast<unsigned>(round + slot), slot, names, dir, {}});
    std::vector<std::jthread> threads;
    for (Round& r : batch) threads.emplace_back([&r] { r.Run(); });
    threads.clear();  // joins them
    for (const Round& r : batch) broken += r.broken.str();
  }
  fs::remove_all(dir);
  const auto after = open();
  std::cout << broken << "soak: seed " << seed << ", " << rounds << " rounds"
            << (names ? " with names" : "") << ", "
            << std::count(broken.begin(), broken.end(), '\n') << " broken; descriptors "
            << before.first << " -> " << after.first << ", threads " << before.second << " -> "
            << after.second << '\n';
  return broken.empty() && after.first <= before.first && after.second <= before.second ? 0 : 1;
}
