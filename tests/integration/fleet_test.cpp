// Many devices from one quento-cli run.
#include <gmock/gmock.h>

#include <fstream>
#include <map>
#include <thread>

#include "cli_fixture.h"
#include "connection/address.h"

namespace quento::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

struct TraceLine {
  long ms = 0;
  std::string device;
  std::string direction;
  std::string hex;
};

std::vector<TraceLine> ReadTrace(const std::filesystem::path& path) {
  std::vector<TraceLine> lines;
  std::ifstream in(path);
  for (TraceLine line; in >> line.ms >> line.device >> line.direction;) {
    std::getline(in, line.hex);
    if (!line.hex.empty() && line.hex[0] == ' ') line.hex.erase(0, 1);
    lines.push_back(line);
  }
  return lines;
}

// "G W0 W1 R0 ..." from the frames a device was sent.
std::string Frames(const std::vector<TraceLine>& trace, const std::string& device) {
  std::string out;
  for (const TraceLine& t : trace) {
    if (t.device != device || t.direction != "send") continue;
    const std::string command = t.hex.substr(6, 2);
    if (!out.empty()) out += ' ';
    if (command == "7B") out += 'G';
    if (command == "7A") out += 'C';
    if (command == "78" || command == "79") {
      out += (command == "78" ? 'W' : 'R') +
             std::to_string(std::stoi(t.hex.substr(12, 2), nullptr, 16));
    }
  }
  return out;
}

class FleetTest : public ::testing::Test {
 protected:
  std::string Firmware(std::size_t size) {
    return dir.Write("fw.bin", PatternImage(size)).string();
  }

  // Devices on 127.0.0.21 .. 127.0.0.(20 + count), each on its own free port.
  std::unique_ptr<device::Simulator> Fleet(int count,
                                           const std::map<int, std::string>& faults = {}) {
    device::SimulatorOptions options;
    options.listen = {"127.0.0.21-127.0.0." + std::to_string(20 + count) + ":0"};
    for (const auto& [n, fault] : faults) {
      std::string error;
      EXPECT_TRUE(device::AddFault(fault, options.faultsByAddress[0x7F000014u + n], &error));
    }
    auto fleet = std::make_unique<device::Simulator>(std::move(options));
    std::string error;
    EXPECT_TRUE(fleet->Start(&error)) << error;
    return fleet;
  }

  static std::vector<std::string> Addresses(const device::Simulator& fleet) {
    std::vector<std::string> out;
    for (const auto& e : fleet.endpoints()) out.push_back(e.ToString());
    return out;
  }

  TempDir dir;
};

TEST_F(FleetTest, MixedOutcomes_EachDeviceGetsItsOwnResult) {
  auto fleet = Fleet(5, {{2, "silent"}, {4, "corrupt-read:0:3"}});
  std::vector<std::string> args = {"--pacing", "fast", "--json", Firmware(2500)};
  const auto addresses = Addresses(*fleet);
  args.insert(args.end(), addresses.begin(), addresses.end());
  const CliRun run = RunCliWith(args);
  EXPECT_EQ(run.status, 1);
  std::map<std::string, std::string> outcomes;
  for (const auto& object : run.Objects()) outcomes[object["device"]] = object["outcome"];
  ASSERT_EQ(outcomes.size(), 5u);
  EXPECT_EQ(outcomes[addresses[0]], "success");
  EXPECT_EQ(outcomes[addresses[1]], "no_response");
  EXPECT_EQ(outcomes[addresses[2]], "success");
  EXPECT_EQ(outcomes[addresses[3]], "verify_failed");
  EXPECT_EQ(outcomes[addresses[4]], "success");
  const auto completed = WaitForCompletions(*fleet, 3);
  EXPECT_EQ(completed.size(), 3u);
  for (const auto& done : completed) {
    EXPECT_EQ(std::string(done.image.begin(), done.image.end()), PatternImage(2500));
  }
  EXPECT_THAT(run.err, HasSubstr("3 succeeded, 2 failed (no_response: 1, verify_failed: 1)"));
}

TEST_F(FleetTest, OneJob_NeverOverlapsDownloads) {
  auto fleet = Fleet(3);
  const auto trace = dir.path() / "trace.txt";
  std::vector<std::string> args = {"--pacing", "fast",         "--jobs",      "1",
                                   "--trace",  trace.string(), Firmware(3000)};
  const auto addresses = Addresses(*fleet);
  args.insert(args.end(), addresses.begin(), addresses.end());
  ASSERT_EQ(RunCliWith(args).status, 0);
  std::vector<std::string> order;
  for (const TraceLine& line : ReadTrace(trace)) {
    if (order.empty() || order.back() != line.device) order.push_back(line.device);
  }
  EXPECT_EQ(order, addresses);  // each device's lines in one unbroken run, in the given order
}

TEST_F(FleetTest, Trace_RecordsEveryFrameAndReplyInHex) {
  auto fleet = Fleet(1);
  const auto trace = dir.path() / "trace.txt";
  const std::string device = Addresses(*fleet)[0];
  ASSERT_EQ(RunCliWith({"--pacing", "fast", "--trace", trace.string(), Firmware(2), device}).status,
            0);
  const auto lines = ReadTrace(trace);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].direction + " " + lines[0].hex, "send 1234567B");
  EXPECT_EQ(lines[1].direction + " " + lines[1].hex, "recv 1234567B0000");
  const std::string fw = PatternImage(2);
  const unsigned a = static_cast<std::uint8_t>(fw[0]) ^ 0xA7u;
  const unsigned b = static_cast<std::uint8_t>(fw[1]) ^ 0xA7u;
  char data[16];
  std::snprintf(data, sizeof data, "%02X%02X%02X", a, b, (a + b) & 0xFFu);
  EXPECT_EQ(lines[2].hex, std::string("12345678000200") + data);
  EXPECT_EQ(lines[3].hex, "123456780000");
  EXPECT_EQ(lines[4].hex, "12345679000200");
  EXPECT_EQ(lines[6].direction + " " + lines[6].hex, "send 1234567A");
  for (const TraceLine& line : lines) EXPECT_EQ(line.device, device);
}

TEST_F(FleetTest, FastPacing_StillResendsPairsAndRetriesReads) {
  auto fleet = Fleet(1, {{1, "drop-ack:1:1"}});
  const auto trace = dir.path() / "trace.txt";
  const std::string device = Addresses(*fleet)[0];
  ASSERT_EQ(
      RunCliWith({"--pacing", "fast", "--trace", trace.string(), Firmware(2048), device}).status,
      0);
  EXPECT_EQ(Frames(ReadTrace(trace), device), "G W0 W1 W0 W1 R0 R1 C");
}

TEST_F(FleetTest, DevicesFile_AddsDevicesAndSkipsCommentsAndBlanks) {
  auto fleet = Fleet(2);
  const auto addresses = Addresses(*fleet);
  const auto list = dir.Write(
      "devices.txt", "# line 3\n\n  " + addresses[0] + "  # first\n" + addresses[1] + "\n   \n");
  const CliRun run =
      RunCliWith({"--pacing", "fast", "--json", "--devices-file", list.string(), Firmware(10)});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Objects().size(), 2u);
}

TEST_F(FleetTest, DevicesFileWithABadLine_IsAUsageErrorNamingTheLine) {
  const auto list = dir.Write("devices.txt", "127.0.0.1\n# fine\n127.0.0.999\n");
  const CliRun run = RunCliWith({"--devices-file", list.string(), Firmware(10)});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("line 3"));
  EXPECT_EQ(RunCliWith({"--devices-file", (dir.path() / "none.txt").string(), Firmware(10)}).status,
            2);
}

TEST_F(FleetTest, Interrupted_StopsEveryDownloadAndExits130) {
  auto fleet = Fleet(3);
  std::atomic<bool> cancel{false};
  std::thread interrupter([&] {
    // Wait (bounded) until the downloads are under way, then press Ctrl-C.
    for (int i = 0; i < 500 && fleet->framesReceived() < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    cancel = true;
  });
  std::vector<std::string> args = {Firmware(16 * 1024)};  // standard pacing: ~12 s if not stopped
  const auto addresses = Addresses(*fleet);
  args.insert(args.end(), addresses.begin(), addresses.end());
  const CliRun run = RunCliWith(args, &cancel);
  interrupter.join();
  EXPECT_EQ(run.status, 130);
  EXPECT_THAT(run.out, HasSubstr("3 interrupted"));
  EXPECT_TRUE(fleet->completed().empty());
}

}  // namespace
}  // namespace quento::testing
