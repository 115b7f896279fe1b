// Rounds of in-process downloads, every device of a round at once, against simulated devices with
// random (seeded) faults. A success must leave exactly the operator's file in the device, and
// nothing may leak a descriptor or a thread. (The outcome texts are the download table's.)
//   quento_soak [SEED [ROUNDS]]
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "device/simulator.h"

namespace {

using namespace quento;
using namespace std::chrono_literals;

constexpr std::uint32_t kFirst = 0x7f000a01;  // 127.0.10.1, the first device of a round
constexpr int kDevices = 24;

std::size_t Entries(const char* dir) {
  return std::distance(std::filesystem::directory_iterator(dir), {});
}

// One fault for an image of `blocks` blocks. The first two cost a reply wait each, and a device
// gets one of them at most: a round then lasts a second or two. No connection is closed right
// after the last read-back: the completion frame gets no reply, so the tool could not tell.
std::string Fault(std::mt19937& random, int blocks, bool first) {
  const auto n = [&](int lo, int hi) { return std::uniform_int_distribution(lo, hi)(random); };
  const std::string block = std::to_string(n(0, blocks - 1));
  const std::string faults[] = {
      "ignore-greeting:1",
      "drop-ack:" + block,
      "wrong-ack:" + block + ":" + (n(0, 1) ? "always" : std::to_string(n(1, 5))),
      "corrupt-read:" + block + ":" + std::to_string(n(0, 1023)),
      "wrong-read-index:" + std::to_string(n(1, 7)),
      "delay:" + std::to_string(n(0, 1)),
      "split:" + std::to_string(n(0, 1)),
      "junk:" + std::to_string(n(1, 64)),
      "close-after:" + std::to_string(n(0, 2 * blocks))};
  return faults[n(first ? 0 : 2, static_cast<int>(std::size(faults)) - 1)];
}

// One round: its own image, one device each with up to two faults, all downloaded at once.
// Returns the number of broken rules.
int Round(std::mt19937& random, const std::filesystem::path& file) {
  std::string image(std::uniform_int_distribution(1, 40000)(random), '\0');
  if (random() % 8 == 0) image.resize(256 * 1024);
  for (char& c : image) c = static_cast<char>(random());
  std::ofstream(file, std::ios::binary) << image;
  const int blocks = static_cast<int>((image.size() + 1023) / 1024);
  device::SimulatorOptions options{.listen = {"127.0.10.1-127.0.10.24:0"}, .keepCompleted = true};
  std::vector<std::string> args = {"quento-cli", "--pacing", "fast", "--json", file.string()};
  for (std::uint32_t i = 0; i < kDevices; ++i)
    for (int k = std::uniform_int_distribution(0, 2)(random); k > 0; --k)
      device::AddFault(Fault(random, blocks, k == 1), options.faultsByAddress[kFirst + i], nullptr);
  device::Simulator simulator(std::move(options));
  if (!simulator.Start(nullptr)) return 1;
  for (const auto& e : simulator.endpoints()) args.push_back(e.ToString());
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  cli::RunCli(static_cast<int>(argv.size()), argv.data(), cli::Environment{out, err});

  int broken = 0;
  int ended = 0;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line); ++ended) {
    const auto result = nlohmann::json::parse(line);
    const std::string device = result["device"];
    // The completion frame gets no reply: the device may still be taking it in.
    bool right = result["outcome"] != "success";
    for (int i = 0; i < 1000 && !right; ++i, std::this_thread::sleep_for(2ms))
      for (const auto& done : simulator.completed())
        right = right || (done.device.ToString() == device &&
                          std::string(done.image.begin(), done.image.end()) == image);
    broken += !right;
    if (!right) std::cout << "broken: " << line << '\n';
  }
  return broken + (ended == kDevices ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned seed = argc > 1 ? std::stoul(argv[1]) : 1;
  const int rounds = argc > 2 ? std::stoi(argv[2]) : 2;
  const auto file = std::filesystem::temp_directory_path() /
                    ("quento-soak-" + std::to_string(::getpid()) + ".bin");
  std::thread([] {}).join();  // ThreadSanitizer's own thread, started on the first, is no leak
  const auto open = [] { return std::pair(Entries("/proc/self/fd"), Entries("/proc/self/task")); };
  const auto before = open();
  std::mt19937 random(seed);
  int broken = 0;
  for (int round = 0; round < rounds; ++round) broken += Round(random, file);
  std::filesystem::remove(file);
  const auto after = open();
  std::cout << "soak: seed " << seed << ", " << rounds << " rounds, " << broken
            << " broken; descriptors " << before.first << " -> " << after.first << ", threads "
            << before.second << " -> " << after.second << '\n';
  return broken == 0 && after.first <= before.first && after.second <= before.second ? 0 : 1;
}
