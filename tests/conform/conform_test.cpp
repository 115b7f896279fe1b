// quento-conform in-process against simulated loaders on loopback: the good simulator passes
// every check, and each fault fails exactly the checks it should, at fast pacing; then one
// real-time run at standard pacing.
#include "conform/conform.h"

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "conform/checks.h"
#include "operator/texts.h"
#include "support/simulated_devices.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace quento::testing {
namespace {

using Ids = std::set<std::string>;

struct ConformRun {
  int status;
  Ids failed;
  std::size_t checks;
  std::string err;
};

ConformRun RunConform(std::vector<std::string> args, const std::atomic<bool>* cancel = nullptr) {
  args.insert(args.begin(), {"quento-conform", "--json"});
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const cli::Environment env{out, err, false, cancel};
  ConformRun run{
      conform::RunConform(static_cast<int>(argv.size()), argv.data(), env), {}, 0, err.str()};
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line); ++run.checks) {
    const auto check = nlohmann::json::parse(line);
    if (check["verdict"] == "fail") run.failed.insert(check["id"].get<std::string>());
  }
  return run;
}

// Every check that needs a greeting echo.
const Ids kAfterGreeting = {"greeting.echo",     "write.ack",           "write.short-last",
                            "write.twice",       "read-back.one-block", "read-back.many-blocks",
                            "read-back.largest", "timing.standard",     "timing.fast",
                            "framing.trailing",  "sessions.after-drop"};

struct Row {
  const char* fault;  // as quento-device takes it; "" for the good simulator
  Ids failed;
};

void PrintTo(const Row& row, std::ostream* out) { *out << (*row.fault ? row.fault : "good"); }

class Faults : public ::testing::TestWithParam<Row> {};

TEST_P(Faults, FastPacing_ExactlyTheseChecksFail_JunitReportSaysTheSame) {
  const Row& row = GetParam();
  SimulatedDevices device("127.0.0.1:0", row.fault);
  TempDir dir;
  const std::string report = (dir.path() / "conform.xml").string();
  const ConformRun run = RunConform({"--pacing", "fast", "--report", report, device.at[0]});
  EXPECT_EQ(run.failed, row.failed) << run.err;
  EXPECT_EQ(run.checks, conform::kChecks.size());
  EXPECT_EQ(run.status, row.failed.empty() ? 0 : 1);
  const std::string xml = dir.Read("conform.xml");
  EXPECT_THAT(xml, ::testing::HasSubstr("failures=\"" + std::to_string(row.failed.size()) + "\""));
}

INSTANTIATE_TEST_SUITE_P(
    Conform, Faults,
    ::testing::Values(
        Row{"", {}}, Row{"silent", kAfterGreeting}, Row{"ignore-greeting:1", {"greeting.echo"}},
        Row{"ignore-greeting:always", kAfterGreeting}, Row{"drop-ack:1", {"write.ack"}},
        Row{"wrong-ack:2", {"write.ack"}}, Row{"wrong-ack:4", {"write.short-last"}},
        Row{"corrupt-read:1", {"read-back.many-blocks", "read-back.largest"}},
        Row{"wrong-read-index", {"read-back.many-blocks"}},
        // Past the 1000 ms window of fast pacing, within the 1300 ms of standard pacing.
        Row{"delay:1200",
            {"greeting.echo", "write.ack", "write.short-last", "write.twice", "read-back.one-block",
             "read-back.many-blocks", "read-back.largest", "timing.fast", "sessions.after-drop"}},
        Row{"delay:10", {}}, Row{"split:2", {}}, Row{"junk:3", {"framing.trailing"}},
        Row{"close-after:4", {"write.ack", "write.short-last", "read-back.many-blocks"}},
        Row{"trailing:2", {"framing.trailing"}}, Row{"wedge-after-drop", {"sessions.after-drop"}},
        Row{"keep-first-write", {"write.twice"}}));

TEST(Conform, RealTime_StandardPacing_GoodSimulatorPassesEveryCheck) {
  SimulatedDevices device("127.0.0.1:0");
  const ConformRun run = RunConform({device.at[0]});
  EXPECT_EQ(run.failed, Ids{}) << run.err;
  EXPECT_EQ(run.status, 0);
}

TEST(Conform, CtrlCWhileASilentLoaderIsGreeted_Exits130WithEveryCheckRecordedAsNotPassed) {
  SimulatedDevices device("127.0.0.1:0", "silent");
  std::atomic<bool> cancel{false};
  std::thread press([&] {
    WaitUntil([&] { return device.simulator->framesReceived() >= 1; });
    cancel = true;
  });
  const ConformRun run = RunConform({"--pacing", "fast", device.at[0]}, &cancel);
  press.join();
  EXPECT_EQ(run.status, 130);
  EXPECT_EQ(run.checks, conform::kChecks.size());
  EXPECT_EQ(run.failed, kAfterGreeting);
  EXPECT_THAT(run.err, ::testing::HasSubstr("; interrupted (Ctrl-C)"));
  // The greeting is given up at the attempt in flight, not after all six.
  EXPECT_LT(device.simulator->framesReceived(), 6u);
}

TEST(Conform, UsageErrors_Exit2WithTheReason) {
  for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--only", "writes", "127.0.0.1"}, "'writes' is no group"},
           {{"--only", "info", "--skip", "info", "127.0.0.1"}, "leave no group"},
           {{"--report", "conform.csv", "127.0.0.1"}, "must be a .xml file"},
           {{"127.0.0"}, "is not ADDR[:PORT]"},
           {{"--image", "/nonexistent/image.bin", "127.0.0.1"},
            std::string(op::text::kFileMissing)}}) {
    const ConformRun run = RunConform(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_THAT(run.err, ::testing::HasSubstr(reason));
  }
}

}  // namespace
}  // namespace quento::testing
