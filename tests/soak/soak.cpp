// Many downloads, a few at a time, in-process, against simulated devices with random (seeded)
// faults. Every success must have left the operator's exact file in the device; every failure
// must be one of the outcome texts; nothing may leak descriptors or threads.
//   quento_soak [--long] [--downloads N] [--jobs J] [--seed S]
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "device/simulator.h"
#include "protocol/outcome.h"

namespace quento::soak {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Settings {
  std::size_t downloads = 60;
  std::size_t jobs = 4;
  unsigned seed = 1;
};

std::size_t CountEntries(const char* dir) {
  std::error_code error;
  std::size_t n = 0;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) ++n;
  return n;
}

std::string Faults(std::mt19937& random, std::size_t blocks, std::vector<std::string>& chosen) {
  const auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  const auto block = [&] { return std::to_string(pick(0, static_cast<int>(blocks) - 1)); };
  const int count = pick(0, 10) < 3 ? 0 : pick(1, 2);
  for (int i = 0; i < count; ++i) {
    switch (pick(0, 12)) {
      case 0:
        chosen.push_back("ignore-greeting:" + std::to_string(pick(1, 3)));
        break;
      case 1:
        chosen.push_back("drop-ack:" + block() + ":" + std::to_string(pick(1, 2)));
        break;
      case 2:
        chosen.push_back("wrong-ack:" + block() + ":" + std::to_string(pick(1, 5)));
        break;
      case 3:
        chosen.push_back("wrong-ack:" + block() + ":always");
        break;
      case 4:
        chosen.push_back("corrupt-read:" + block() + ":" + std::to_string(pick(0, 1023)));
        break;
      case 5:
        chosen.push_back("wrong-read-index:" + std::to_string(pick(1, 7)));
        break;
      case 6:
        chosen.push_back("delay:" + std::to_string(pick(0, 20)));
        break;
      case 7:
        chosen.push_back("split:" + std::to_string(pick(0, 15)));
        break;
      case 8:
        chosen.push_back("junk:" + std::to_string(pick(1, 64)));
        break;
      case 9:
        chosen.push_back("close-after:" +
                         std::to_string(pick(0, static_cast<int>(2 * blocks + 2))));
        break;
      case 10:
        chosen.push_back(pick(0, 9) == 0 ? "silent" : "ignore-greeting:6");
        break;
      default:
        chosen.push_back("drop-ack:" + block());
        break;
    }
  }
  std::string all;
  for (const std::string& s : chosen) all += (all.empty() ? "" : " ") + s;
  return all.empty() ? "none" : all;
}

std::vector<std::uint8_t> Image(std::mt19937& random) {
  const int kind = std::uniform_int_distribution<int>(0, 9)(random);
  std::size_t size = std::uniform_int_distribution<std::size_t>(1, 40000)(random);
  if (kind == 0) size = 1024 * std::uniform_int_distribution<std::size_t>(1, 40)(random);
  if (kind == 1) size = 256 * 1024;
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

struct Tally {
  std::size_t downloads = 0;
  std::size_t successes = 0;
  std::size_t wrongImages = 0;
  std::size_t badEndings = 0;
  std::map<std::string, std::size_t> failures;
};

// One round: `count` devices, each with its own image and faults, downloaded `jobs` at a time.
bool Round(const Settings& settings, std::mt19937& random, std::size_t count, const fs::path& dir,
           Tally& tally) {
  struct Device {
    std::unique_ptr<device::Simulator> simulator;
    std::vector<std::uint8_t> image;
    fs::path file;
    std::string faults;
    std::string address;
  };
  std::vector<Device> devices(count);
  // One image file per run of quento-cli: every device in a round gets the same image.
  const std::vector<std::uint8_t> image = Image(random);
  const fs::path file = dir / ("fw-" + std::to_string(tally.downloads) + ".bin");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  const std::size_t blocks = (image.size() + 1023) / 1024;

  std::vector<std::string> args = {"quento-cli", "--pacing", "fast",
                                   "--json",     "-j",       std::to_string(settings.jobs),
                                   file.string()};
  for (std::size_t i = 0; i < count; ++i) {
    Device& d = devices[i];
    device::SimulatorOptions options;
    options.listen = {"127.0.0.1:0"};
    options.saveDir = dir / ("saved-" + std::to_string(tally.downloads + i));
    std::vector<std::string> chosen;
    d.faults = Faults(random, blocks, chosen);
    for (const std::string& s : chosen) {
      std::string error;
      if (!device::AddFault(s, options.faults, &error)) {
        std::cerr << "bad fault " << s << ": " << error << '\n';
        return false;
      }
    }
    d.simulator = std::make_unique<device::Simulator>(std::move(options));
    std::string error;
    if (!d.simulator->Start(&error)) {
      std::cerr << "simulator: " << error << '\n';
      return false;
    }
    d.image = image;
    d.address = d.simulator->endpoints().at(0).ToString();
    args.push_back(d.address);
  }

  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  cli::RunCli(static_cast<int>(argv.size()), argv.data(),
              cli::Environment{out, err, false, nullptr});

  std::map<std::string, nlohmann::json> results;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    const auto object = nlohmann::json::parse(line, nullptr, false);
    if (!object.is_discarded() && object.contains("device")) results[object["device"]] = object;
  }
  for (const Device& d : devices) {
    ++tally.downloads;
    const auto it = results.find(d.address);
    if (it == results.end()) {
      ++tally.badEndings;
      std::cerr << d.address << ": no result [" << d.faults << "]\n";
      continue;
    }
    const std::string outcome = it->second["outcome"];
    const std::string message = it->second["message"];
    bool known = false;
    for (Outcome o : {Outcome::kSuccess, Outcome::kNoResponse, Outcome::kVerifyFailed,
                      Outcome::kSendFailed, Outcome::kConnectFailed}) {
      known = known || (outcome == NameOf(o) && message == MessageFor(o));
    }
    if (!known) {
      ++tally.badEndings;
      std::cerr << d.address << ": ended as " << outcome << " '" << message << "' [" << d.faults
                << "]\n";
      continue;
    }
    if (outcome != "success") {
      ++tally.failures[outcome];
      continue;
    }
    ++tally.successes;
    // The completion gets no reply, so the device may still be saving: bounded wait.
    auto done = d.simulator->completed();
    for (int i = 0; i < 1000 && done.empty(); ++i) {
      std::this_thread::sleep_for(2ms);
      done = d.simulator->completed();
    }
    bool right = !done.empty() && done.back().image == d.image;
    if (right) {
      std::ifstream in(done.back().savedTo, std::ios::binary);
      right = std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}) == d.image;
    }
    if (!right) {
      ++tally.wrongImages;
      std::cerr << d.address << ": success, but the device holds a different image [" << d.faults
                << "]\n";
    }
  }
  return true;
}

bool ParseArgs(int argc, char** argv, Settings& s) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const auto number = [&](auto& field) {
      if (i + 1 >= argc) return false;
      const std::string_view v = argv[++i];
      return std::from_chars(v.data(), v.data() + v.size(), field).ec == std::errc();
    };
    if (a == "--long") {
      s.downloads = 500;
    } else if (a == "--downloads") {
      if (!number(s.downloads)) return false;
    } else if (a == "--jobs") {
      if (!number(s.jobs) || s.jobs == 0) return false;
    } else if (a == "--seed") {
      if (!number(s.seed)) return false;
    } else {
      return false;
    }
  }
  return true;
}

int Run(int argc, char** argv) {
  Settings settings;
  if (!ParseArgs(argc, argv, settings)) {
    std::cerr << "usage: quento_soak [--long] [--downloads N] [--jobs J] [--seed S]\n";
    return 2;
  }
  const fs::path dir = fs::temp_directory_path() / ("quento-soak-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  // ThreadSanitizer starts a thread of its own at the first thread creation: let that happen
  // before counting, so it is not taken for a leak.
  std::thread([] {}).join();
  const std::size_t fdsBefore = CountEntries("/proc/self/fd");
  const std::size_t threadsBefore = CountEntries("/proc/self/task");
  const auto start = std::chrono::steady_clock::now();

  std::mt19937 random(settings.seed);
  Tally tally;
  bool ok = true;
  while (ok && tally.downloads < settings.downloads) {
    const std::size_t count = std::min(2 * settings.jobs, settings.downloads - tally.downloads);
    ok = Round(settings, random, count, dir, tally);
  }

  // Connect workers are detached and may still be on their way out: wait for them, bounded.
  std::size_t fdsAfter = CountEntries("/proc/self/fd");
  std::size_t threadsAfter = CountEntries("/proc/self/task");
  for (int i = 0; i < 500 && (fdsAfter > fdsBefore || threadsAfter > threadsBefore); ++i) {
    std::this_thread::sleep_for(10ms);
    fdsAfter = CountEntries("/proc/self/fd");
    threadsAfter = CountEntries("/proc/self/task");
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("soak: seed %u, %zu downloads, %zu at a time, %.1f s\n", settings.seed,
              tally.downloads, settings.jobs, seconds);
  std::printf("  successes: %zu\n", tally.successes);
  for (const auto& [name, n] : tally.failures) std::printf("  %s: %zu\n", name.c_str(), n);
  std::printf("  wrong images: %zu\n  endings without an outcome text: %zu\n", tally.wrongImages,
              tally.badEndings);
  std::printf("  descriptors: %zu before, %zu after; threads: %zu before, %zu after\n", fdsBefore,
              fdsAfter, threadsBefore, threadsAfter);
  const bool passed = ok && tally.wrongImages == 0 && tally.badEndings == 0 &&
                      fdsAfter <= fdsBefore && threadsAfter <= threadsBefore;
  std::printf("%s (reproduce: quento_soak --seed %u --downloads %zu --jobs %zu)\n",
              passed ? "PASSED" : "FAILED", settings.seed, settings.downloads, settings.jobs);
  return passed ? 0 : 1;
}

}  // namespace
}  // namespace quento::soak

int main(int argc, char** argv) { return quento::soak::Run(argc, argv); }
