// Many devices from one quento-cli run, all on one event loop.
#include <gmock/gmock.h>

#include <fstream>
#include <set>

#include "cli/display.h"
#include "cli_fixture.h"
#include "platform/limits.h"

namespace quento::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

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

// The command of every frame `device` was sent, with the block for a block frame: "7B 7800 ...".
std::string Frames(const std::vector<TraceLine>& trace, const std::string& device) {
  std::string out;
  for (const TraceLine& t : trace) {
    if (t.device != device || t.direction != "send") continue;
    out += (out.empty() ? "" : " ") + t.hex.substr(6, 2) +
           (t.hex.size() > 12 ? t.hex.substr(12, 2) : "");
  }
  return out;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Fleet, MixedOutcomes_EachDeviceGetsItsOwnResult) {
  TempDir dir;
  SimulatedDevices fleet("127.0.0.21-127.0.0.25:0", {}, {{1, "silent"}, {3, "corrupt-read:0:3"}});
  const CliRun run =
      RunCliWith(WithDevices({"--pacing", "fast", "--json", Firmware(dir, 2500)}, fleet));
  EXPECT_EQ(run.status, 1);
  std::map<std::string, std::string> outcomes;
  for (const auto& object : run.Objects()) outcomes[object["device"]] = object["outcome"];
  std::vector<std::string> inOrder;
  for (const std::string& address : fleet.addresses()) inOrder.push_back(outcomes[address]);
  EXPECT_THAT(inOrder,
              ElementsAre("success", "no_response", "success", "verify_failed", "success"));
  const auto completed = fleet.Completions(3);
  EXPECT_EQ(completed.size(), 3u);
  for (const auto& done : completed) {
    EXPECT_EQ(std::string(done.image.begin(), done.image.end()), PatternImage(2500));
  }
  EXPECT_THAT(run.err, HasSubstr("3 succeeded, 2 failed (no_response: 1, verify_failed: 1)"));
}

TEST(Fleet, ThousandDevicesFromOneProcess_AllSucceedEachHoldingExactlyTheImage) {
  // Two sockets a device, the tool's and the simulator's, both in this process.
  const std::uint64_t limit = platform::RaiseOpenFileLimit();
  if (limit != 0 && limit < 2100) GTEST_SKIP() << "open-files limit " << limit << " is too low";
  TempDir dir;
  SimulatedDevices fleet("127.3.0.1-127.3.3.232:0");
  const auto addresses = fleet.addresses();
  ASSERT_EQ(addresses.size(), 1000u);
  const CliRun run =
      RunCliWith(WithDevices({"--pacing", "fast", "--json", Firmware(dir, 1500)}, fleet));
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.err, HasSubstr("summary: 1000 devices, 1000 succeeded, 0 failed"));
  std::set<std::string> holding;
  for (const auto& done : fleet.Completions(1000)) {
    if (std::string(done.image.begin(), done.image.end()) == PatternImage(1500)) {
      holding.insert(done.device.ToString());
    }
  }
  EXPECT_EQ(holding, std::set<std::string>(addresses.begin(), addresses.end()));
}

TEST(Fleet, MoreDevicesAtOnceThanOpenFiles_RefusedBeforeAnyContactUnlessFewerJobs) {
  TempDir dir;
  SimulatedDevices fleet("127.0.5.1-127.0.5.100:0");
  const auto args = WithDevices({"--pacing", "fast", Firmware(dir, 10)}, fleet);
  const CliRun refused = RunCliWith(args, {.openFileLimit = 64});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err,
            "quento-cli: 100 devices at once need about 116 open files, but the limit is 64; "
            "raise it (ulimit -n 116) or use a smaller -j (at most 48)\n");
  EXPECT_EQ(fleet.simulator().framesReceived(), 0u);
  auto fewer = args;
  fewer.insert(fewer.begin(), {"-j", "8"});
  const CliRun run = RunCliWith(fewer, {.openFileLimit = 64});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("summary: 100 devices, 100 succeeded"));
}

TEST(Fleet, OneJob_NeverOverlapsDownloads) {
  TempDir dir;
  SimulatedDevices fleet("127.0.0.21-127.0.0.23:0");
  const auto trace = dir.path() / "trace.txt";
  ASSERT_EQ(RunCliWith(WithDevices({"--pacing", "fast", "--jobs", "1", "--trace", trace.string(),
                                    Firmware(dir, 3000)},
                                   fleet))
                .status,
            0);
  std::vector<std::string> order;
  for (const TraceLine& line : ReadTrace(trace)) {
    if (order.empty() || order.back() != line.device) order.push_back(line.device);
  }
  EXPECT_EQ(order, fleet.addresses());  // each device's lines in one unbroken run, in order
}

TEST(Fleet, Trace_RecordsEveryFrameAndReplyInHex) {
  TempDir dir;
  SimulatedDevices fleet;
  const auto trace = dir.path() / "trace.txt";
  const std::string device = fleet.address();
  ASSERT_EQ(
      RunCliWith({"--pacing", "fast", "--trace", trace.string(), Firmware(dir, 2), device}).status,
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

TEST(Fleet, FastPacing_StillResendsPairsAndRetriesReads) {
  TempDir dir;
  SimulatedDevices fleet("127.0.0.1:0", {"drop-ack:1:1"});
  const auto trace = dir.path() / "trace.txt";
  const std::string device = fleet.address();
  ASSERT_EQ(RunCliWith({"--pacing", "fast", "--trace", trace.string(), Firmware(dir, 2048), device})
                .status,
            0);
  EXPECT_EQ(Frames(ReadTrace(trace), device), "7B 7800 7801 7800 7801 7900 7901 7A");
}

TEST(Fleet, DevicesFile_AddsDevicesSkipsCommentsAndBlanks_ABadLineIsNamed) {
  TempDir dir;
  SimulatedDevices fleet("127.0.0.21-127.0.0.22:0");
  const auto addresses = fleet.addresses();
  const auto list = dir.Write(
      "devices.txt", "# line 3\n\n  " + addresses[0] + "  # first\n" + addresses[1] + "\n   \n");
  const CliRun run = RunCliWith(
      {"--pacing", "fast", "--json", "--devices-file", list.string(), Firmware(dir, 10)});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Objects().size(), 2u);
  const auto bad = dir.Write("bad.txt", "127.0.0.1\n# fine\n127.0.0.999\n");
  const CliRun refused = RunCliWith({"--devices-file", bad.string(), Firmware(dir, 10)});
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr("line 3"));
}

TEST(Fleet, Interrupted_DropsEveryDownloadInFlightAndExits130) {
  TempDir dir;
  const std::string fw = Firmware(dir, 16 * 1024);  // standard pacing: ~12 s if not stopped
  // All three at once, or one at a time: the two waiting were never started and print nothing.
  for (const auto& [jobs, lines] : {std::pair{"3", 3u}, std::pair{"1", 1u}}) {
    SCOPED_TRACE(jobs);
    SimulatedDevices fleet("127.0.0.21-127.0.0.23:0");
    std::atomic<bool> cancel{false};
    std::thread interrupter([&] {
      // Wait (bounded) until the downloads are under way, then press Ctrl-C.
      for (int i = 0; i < 500 && fleet.simulator().framesReceived() < lines; ++i) {
        std::this_thread::sleep_for(10ms);
      }
      cancel = true;
    });
    const CliRun run = RunCliWith(WithDevices({"-j", jobs, fw}, fleet), {.cancel = &cancel});
    interrupter.join();
    EXPECT_EQ(run.status, 130);
    EXPECT_EQ(Count(run.out, ": interrupted\n"), lines);
    EXPECT_THAT(run.out, HasSubstr("3 interrupted"));
    EXPECT_TRUE(fleet.simulator().completed().empty());
  }
}

TEST(TerminalView, TwoHundredInFlightOnFortyRows_EveryRedrawFitsTheScreen) {
  std::ostringstream out;
  const auto display = cli::MakeDisplay(cli::DisplayMode::kTerminal, out, 200, 40, 80);
  for (std::size_t i = 0; i < 200; ++i) display->OnStart(i, "127.0.1." + std::to_string(i));
  std::size_t drawn = 0;
  for (int tick = 0; tick < 3; ++tick) {
    SCOPED_TRACE(tick);
    for (std::size_t i = 0; i < 200; ++i)
      display->OnProgress(i, protocol::Phase::kWriting, tick, 4);
    out.str("");
    display->OnTick();
    EXPECT_EQ(Count(out.str(), "\x1b[1A"), drawn);  // back over exactly what it drew
    drawn = Count(out.str(), "\n");
    EXPECT_EQ(drawn, 40u);
    EXPECT_THAT(out.str(), HasSubstr("… and 162 more in flight\ntotal: 0/200 done"));
  }
  // 190 end: their lines scroll up above the view, and the ten still in flight all fit.
  cli::DeviceResult result;
  result.report.outcome = Outcome::kSuccess;
  for (std::size_t i = 0; i < 190; ++i) display->OnFinish(i, result);
  out.str("");
  display->OnTick();
  EXPECT_EQ(Count(out.str(), "\x1b[1A"), 40u);
  EXPECT_EQ(Count(out.str(), "\n"), 190u + 11u);
  EXPECT_THAT(out.str(), ::testing::EndsWith("total: 190/200 done, 190 succeeded, 10 in flight\n"));
}

}  // namespace
}  // namespace quento::testing
