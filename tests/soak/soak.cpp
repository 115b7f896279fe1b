// Rounds of in-process runs of quento-cli against simulated devices with random (seeded) faults,
// retries, names and Ctrl-C at a random moment, several rounds at once. After every round an
// oracle checks what must hold whatever happened:
//   - a device whose final record is a success holds exactly the operator's image;
//   - every device has exactly one final record, its attempts numbered 1, 2, ... once each, the
//     same in the JSON Lines and the CSV;
//   - no address was ever served two downloads at once;
//   - two entries for one device (a name and its alias) are refused before anything is sent.
// Nothing may leak a descriptor or a thread.
//   quento_soak [SEED [ROUNDS]]   rounds; names are used when the hosts file names them
//   quento_soak --hosts           the hosts file lines the rounds' names need
#include <netdb.h>

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
#include <thread>

#include "cli/cli.h"
#include "cli/display.h"
#include "cli/fleet.h"
#include "device/simulator.h"

namespace {

using namespace quento;
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

bool NamesAvailable() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(Name(0, 0).c_str(), nullptr, &hints, &found) != 0) return false;
  const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const bool right = ntohl(in->sin_addr.s_addr) == 0x7f001401;  // 127.0.20.1
  freeaddrinfo(found);
  return right;
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

// (device, attempt, outcome) of every record, as the JSON Lines and the CSV give them.
using Records = std::multiset<std::tuple<std::string, int, std::string>>;

Records CsvRecords(const fs::path& csv) {
  Records records;
  std::ifstream in(csv);
  std::string line;
  std::getline(in, line);  // the header; no field of these rows holds a comma or a quote
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream row(line);
    for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
    if (fields.size() < 6) return {};
    records.emplace(fields[2], std::stoi(fields[4]), fields[5]);
  }
  return records;
}

int RunCli(const std::vector<std::string>& args, const std::atomic<bool>& cancel,
           std::ostringstream& out) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream err;
  return cli::RunCli(static_cast<int>(argv.size()), argv.data(),
                     cli::Environment{out, err, false, &cancel});
}

// The devices of `dialled` (as given -> ADDR:PORT) and one more, `twin`, for the device at
// `whose`, as a fleet past every check of the command line; its JSON Lines into `out`.
int RunFleet(const fs::path& file, const std::map<std::string, std::string>& dialled, int retries,
             const std::string& twin, const std::string& whose, const std::atomic<bool>& cancel,
             std::ostringstream& out) {
  struct Lines final : cli::FleetObserver {
    explicit Lines(std::ostringstream& out) : out(out) {}
    void OnFinish(std::size_t, const cli::DeviceResult& r) override {
      out << cli::ResultJson(r, "") << '\n';
    }
    std::ostringstream& out;
  } lines(out);
  std::ifstream in(file, std::ios::binary);
  cli::FleetOptions fleet{.devices = {},
                          .image = image::FirmwareImage({std::istreambuf_iterator<char>(in), {}}),
                          .fast = true};
  for (const auto& [given, at] : dialled)
    fleet.devices.push_back({{}, *connection::ParseDevice(at), given});
  fleet.devices.push_back({{}, *connection::ParseDevice(whose), twin});
  fleet.cancel = &cancel;
  fleet.retries = retries;
  fleet.retryDelay = 50ms;
  const auto results = cli::RunFleet(fleet, lines);
  if (cancel) return 130;
  return std::ranges::all_of(results,
                             [](auto& r) { return r.report.outcome == op::Outcome::kSuccess; })
             ? 0
             : 1;
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
    const fs::path csv = dir / ("r-" + std::to_string(slot) + ".csv");
    fs::remove(csv);
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
    std::vector<std::string> args = {
        "quento-cli",    "--pacing",   "fast",       "--json",
        "--report",      csv.string(), "--retries",  std::to_string(retries),
        "--retry-delay", "0.05",       file.string()};
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
    if (kind == kNumber) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08x", first + which);
      args[11 + which] = hex + port;
    }
    // Names or addresses in any order.
    std::shuffle(args.begin() + 11, args.end(), random);

    std::atomic<bool> cancel{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread ctrlC;
    if (n(0, 3) == 0) {
      ctrlC = std::thread([&, after = std::chrono::milliseconds(n(0, 1500))] {
        std::unique_lock lock(mutex);
        if (!ended.wait_for(lock, after, [&] { return done; })) cancel = true;
      });
    }
    std::ostringstream out;
    const int status = kind == kPastTheChecks
                           ? RunFleet(file, dialled, retries, "twin" + port, whose, cancel, out)
                           : RunCli(args, cancel, out);
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    ended.notify_all();
    if (ctrlC.joinable()) ctrlC.join();

    if (kind == kTwice || kind == kNumber) {
      if (status != 2 || simulator.framesReceived() != 0) Fail("a slip was not refused");
      return;
    }
    if (kind == kPastTheChecks) dialled["twin" + port] = whose;
    // Every record, and every device's last.
    Records records;
    std::map<std::string, std::pair<int, std::string>> last;  // device -> (attempt, outcome)
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      const auto r = nlohmann::json::parse(line);
      const std::string device = r["device"];
      const int attempt = r["attempt"];
      auto& [seen, outcome] = last[device];
      if (attempt != seen + 1)
        Fail(device + ": attempt " + std::to_string(attempt) + " after " + std::to_string(seen));
      seen = attempt;
      outcome = r["outcome"];
      records.emplace(device, attempt, outcome);
    }
    if (kind == kPlain && CsvRecords(csv) != records) Fail("the CSV and the JSON Lines differ");
    if (last.size() != dialled.size()) Fail(std::to_string(last.size()) + " devices recorded");
    bool allSucceeded = true;
    // What the device's last completion left in it.
    const auto held = [&](const std::string& at) {
      std::optional<std::string> last;
      for (const auto& done : simulator.completed())
        if (done.device.ToString() == at) last = std::string(done.image.begin(), done.image.end());
      return last == image;
    };
    for (const auto& [device, final] : last) {
      const auto& [attempt, outcome] = final;
      allSucceeded = allSucceeded && outcome == "success";
      if (outcome == "cancelled" && !cancel) Fail(device + ": cancelled, but nobody asked");
      const bool retriable =
          outcome != "success" && outcome != "cancelled" && outcome != "socket_failed";
      if (retriable && attempt <= retries && !cancel) Fail(device + ": not tried again");
      if (outcome != "success") continue;
      // The completion frame gets no reply: the device may still be taking it in.
      bool right = held(dialled[device]);
      for (int i = 0; i < 500 && !right; ++i, std::this_thread::sleep_for(2ms))
        right = held(dialled[device]);
      if (!right) Fail(device + ": a success, but the device does not hold the image");
    }
    // Ctrl-C just as the run ends may or may not find a device left to stop.
    const int plain = allSucceeded ? 0 : 1;
    if (status != plain && !(cancel && status == 130))
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
  const bool names = NamesAvailable();
  const fs::path dir = fs::temp_directory_path() / ("quento-soak-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::thread([] {}).join();  // ThreadSanitizer's own thread, started on the first, is no leak
  const auto open = [] { return std::pair(Entries("/proc/self/fd"), Entries("/proc/self/task")); };
  const auto before = open();
  std::string broken;
  for (int round = 0; round < rounds; round += kAtOnce) {
    std::vector<std::unique_ptr<Round>> batch;
    std::vector<std::thread> threads;
    for (int slot = 0; slot < kAtOnce && round + slot < rounds; ++slot) {
      batch.push_back(std::make_unique<Round>(
          Round{seed + static_cast<unsigned>(round + slot), slot, names, dir, {}}));
      threads.emplace_back([&round = *batch.back()] { round.Run(); });
    }
    for (std::thread& t : threads) t.join();
    for (const auto& r : batch) broken += r->broken.str();
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
