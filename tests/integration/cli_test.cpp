// quento-cli in-process against simulated devices on loopback: what each ending says, the exit
// statuses, a fleet on one event loop, and bad input refused before any device is contacted;
// then the programs themselves, as child processes.
#include "cli/cli.h"

#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/display.h"
#include "cli/fleet.h"
#include "cli/report.h"
#include "operator/texts.h"
#include "platform/host.h"
#include "platform/limits.h"
#include "quento_version.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/run_cli.h"
#include "support/simulated_devices.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace quento::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using Args = std::vector<std::string>;

Args Concat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A name that reports must quote and escape.
constexpr const char* kImage = "固件,\"v2\".bin";

// Period 251: a block (1024 bytes) out of place does not look the same.
std::string Firmware(const TempDir& dir, std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
  return dir.Write(kImage, data).string();
}

// A --report file as Python's csv or xml.etree module reads it (support/read_report.py).
nlohmann::json ReadReport(const std::filesystem::path& report) {
  ChildProcess python({QUENTO_PYTHON, QUENTO_READ_REPORT, report.string()});
  return nlohmann::json::parse(python.Finish(20s).value_or("null"));
}

// A row as csv.DictReader gives it, with every column of the header and nothing besides.
bool Whole(const nlohmann::json& row) {
  return row.size() == 16 && std::ranges::none_of(row, [](const auto& v) { return v.is_null(); });
}

struct Ending {
  const char* name;
  int where;          // 0 a simulated device with `fault`, 1 a closed port, 2 a full queue
  const char* fault;  // as quento-device takes it
  const char* outcome;
  const char* message;
  const char* detail;   // the system's words, "" for none
  int firstDifference;  // -1 for none
};

void PrintTo(const Ending& e, std::ostream* out) { *out << e.name; }

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, Exit1_JsonObjectNamesTheOutcomeItsTextAndWhatTheSystemSaid) {
  const Ending& e = GetParam();
  TempDir dir;
  LoopbackListener refusing;
  LoopbackListener full(0);
  const auto queued = full.ConnectClient();  // takes the queue's one place: no handshake completes
  const SimulatedDevices device("127.0.0.1:0", e.fault);
  const std::string address = Args{device.at[0], "127.0.0.1:" + std::to_string(refusing.port()),
                                   "127.0.0.1:" + std::to_string(full.port())}[e.where];
  refusing.Close();
  const CliRun run = RunCli({"--pacing", "fast", "--json", "--report", dir.path() / "run.XML",
                             Firmware(dir, 3000), address});
  EXPECT_EQ(run.status, 1);
  const auto object = nlohmann::json::parse(run.out);  // exactly one object
  EXPECT_EQ(object["sha256"], "e8ca4bf83f56152c01649f88bd7c91b15ae8137d9a709572e04fae55894ea75e");
  EXPECT_THAT(run.err, HasSubstr("image sha256 " + object["sha256"].get<std::string>()));
  // The JUnit report holds the same ending, the image's name and its digest.
  const auto xml = ReadReport(dir.path() / "run.XML");
  EXPECT_EQ(xml["properties"]["sha256"], object["sha256"]);
  EXPECT_EQ(xml["cases"][0]["classname"], kImage);
  EXPECT_EQ(xml["cases"][0]["failure"],
            (nlohmann::json{{"message", e.message},
                            {"text", e.firstDifference < 0 ? e.detail : "block 1, offset 1030"}}));
  EXPECT_EQ(object["device"], address);
  EXPECT_EQ(object["outcome"], e.outcome);
  EXPECT_EQ(object["message"], e.message);
  EXPECT_EQ(object.value("detail", ""), e.detail);
  EXPECT_EQ(object.value("first_difference", -1), e.firstDifference);
  EXPECT_EQ(object["bytes"], 3000);
  EXPECT_EQ(object["blocks"], 3);
}

constexpr const char* kConnectFailed = "连接失败，请确认IP地址和端口号是否正确！";

INSTANTIATE_TEST_SUITE_P(
    Cli, Endings,
    ::testing::Values(Ending{"Refused", 1, "", "connect_failed", kConnectFailed,
                             "connect: Connection refused", -1},
                      Ending{"NeverAnswered", 2, "", "connect_failed", kConnectFailed,
                             "connect: no answer within 3000 ms", -1},
                      Ending{"Silent", 0, "silent", "no_response", "下载失败，固件无响应！",
                             "receive: no answer within 1000 ms", -1},
                      Ending{"ReadBackDiffers", 0, "corrupt-read:1:6", "verify_failed",
                             "下载失败，上传校验时出错！", "", 1030},
                      Ending{"HangsUp", 0, "close-after:2", "send_failed",
                             op::text::kSendFailed.data(), "device closed the connection", -1},
                      // Greeting, three writes, three read-backs: hung up before the completion.
                      Ending{"HangsUpAfterTheLastReadBack", 0, "close-after:7", "send_failed",
                             op::text::kSendFailed.data(),
                             "device closed the connection before the completion frame", -1}),
    [](const auto& info) { return info.param.name; });

// A thousand healthy devices, one silent, one address nobody listens on; Ctrl-C once the
// thousand are done: the silent one has held up none of them.
TEST(Fleet, ThousandDoneWhileOneIsSilent_CtrlCExits130WithEveryResultInPlainLines) {
  // Two sockets a device, the tool's and the simulator's, both in this process.
  const std::uint64_t limit = platform::RaiseOpenFileLimit();
  if (limit != 0 && limit < 2100) GTEST_SKIP() << "open-files limit " << limit << " is too low";
  TempDir dir;
  const SimulatedDevices fleet("127.3.0.1-127.3.3.232:0");
  const SimulatedDevices silent("127.0.0.1:0", "silent");
  const std::string refused = "127.0.0.1:1";
  std::atomic<bool> cancel{false};
  std::thread ctrlC([&] {
    fleet.ImagesOnceCompleted(1000);
    cancel = true;
  });
  const CliRun run = RunCli(Concat({"--pacing", "fast", "--report", dir.path() / "shift.csv",
                                    Firmware(dir, 1500), silent.at[0], refused},
                                   fleet.at),
                            &cancel);
  ctrlC.join();
  // Normally the thousand are done long before the silent device's six greetings are: Ctrl-C
  // then finds it still waiting. A slow (sanitizer) build may see it give up first.
  // (Every record and every image of such a run are the soak's to check.)
  const bool interrupted = run.status == 130;
  EXPECT_TRUE(interrupted || run.status == 1) << run.status;
  const auto rows = ReadReport(dir.path() / "shift.csv");
  EXPECT_EQ(rows.size(), 1002u);  // one each, the interrupted one's too
  EXPECT_EQ(rows[0]["image"], kImage);
  EXPECT_THAT(rows[0]["time"].get<std::string>(), ::testing::MatchesRegex("[0-9-]{10}T[0-9:]{8}Z"));
  EXPECT_THAT(run.out,
              HasSubstr(refused + ": " + kConnectFailed + " (connect: Connection refused)\n"));
  EXPECT_THAT(
      run.out,
      HasSubstr(interrupted ? silent.at[0] + ": interrupted (Ctrl-C)\nsummary: 1002 devices, 1000 "
                                             "succeeded, 1 failed (connect_failed: 1), 1 "
                                             "interrupted"
                            : "summary: 1002 devices, 1000 succeeded, 2 failed "
                              "(connect_failed: 1, no_response: 1)"));
  // In a pipe: no escape sequences, no carriage returns.
  EXPECT_FALSE(std::ranges::any_of(run.out, [](unsigned char c) { return c < 0x20 && c != '\n'; }));
}

TEST(Fleet, OneJobWithTrace_DevicesFromTheFileOneAfterAnother_EveryFrameInHex) {
  TempDir dir;
  const SimulatedDevices fleet("127.0.0.21-127.0.0.22:0");
  const auto list =
      dir.Write("devices.txt", "# bench 3\n\n " + fleet.at[0] + " # left\n" + fleet.at[1] + "\n");
  const CliRun run = RunCli({"--pacing", "fast", "-j", "1", "--trace", dir.path() / "trace.txt",
                             "--devices-file", list, Firmware(dir, 2)});
  ASSERT_EQ(run.status, 0) << run.err;
  Args expected;
  for (const std::string& address : fleet.at) {
    // The image 00 01, masked with A7 (A7 A6), and its sum.
    for (const char* frame :
         {"send 1234567B", "recv 1234567B0000", "send 12345678000200A7A64D", "recv 123456780000",
          "send 12345679000200", "recv 12345679000200A7A64D", "send 1234567A"})
      expected.push_back(address + " " + frame);
  }
  Args traced;
  std::istringstream in(dir.Read("trace.txt"));
  std::string first;
  EXPECT_TRUE(std::getline(in, first) && first.starts_with("# quento-cli ")) << first;
  for (std::string ms, device, direction, hex; in >> ms >> device >> direction >> hex;)
    traced.push_back(device + " " + direction + " " + hex);
  EXPECT_EQ(traced, expected);
}

// A result that cannot be shown or recorded is that device's error, shown as such; the run ends
// and the other device's result stands.
TEST(Fleet, ResultThatCannotBeShown_IsThatDevicesErrorAndTheRunGoesOn) {
  struct Refusing : cli::FleetObserver {
    void OnFinish(std::size_t index, const cli::DeviceResult& result) override {
      if (index == 0 && !std::exchange(threw, true)) throw std::runtime_error("cannot show \xff");
      shown.push_back(std::string(op::NameOf(result.report.outcome)) + ' ' + result.report.detail);
    }
    Args shown;
    bool threw = false;
  } observer;
  const SimulatedDevices fleet("127.0.0.23-127.0.0.24:0");
  cli::FleetOptions options{.devices = {}, .image = image::FirmwareImage({1, 2, 3}), .fast = true};
  for (const std::string& at : fleet.at)
    options.devices.push_back({{}, *connection::ParseDevice(at), at});
  const auto results = cli::RunFleet(options, observer);
  EXPECT_THAT(observer.shown,
              ::testing::UnorderedElementsAre("error cannot show \xff", "success "));
  EXPECT_EQ(results[1].report.outcome, op::Outcome::kSuccess);
}

// A host name is resolved before the run and kept beside the address dialled; a device that
// failed on its side is tried again after the delay without holding up a healthy one (one job);
// every attempt is printed, and the JUnit case of a device keeps its earlier attempts as output.
TEST(Addressing, NameResolved_FailedDevicesTriedAgain_EveryAttemptRecorded) {
  TempDir dir;
  const SimulatedDevices late("127.0.0.1:0", "close-after:0"), healthy("127.0.0.44:0");
  const std::string name = "localhost" + late.at[0].substr(late.at[0].find(':'));
  const CliRun run = RunCli({"--json", "--pacing", "fast", "-j", "1", "--retries", "2",
                             "--retry-delay", "0.3", "--report", dir.path() / "r.xml",
                             Firmware(dir, 3000), "127.0.0.1:1", name, healthy.at[0]});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("summary: 3 devices, 2 succeeded, 1 failed (connect_failed: 1)"));
  Args attempts;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    const auto o = nlohmann::json::parse(line);
    attempts.push_back(std::string(o["device"]) + " " + std::string(o["address"]) + " " +
                       o["attempt"].dump() + (o["outcome"] == "success" ? " ok" : ""));
  }
  const std::string refused = "127.0.0.1:1 127.0.0.1:1 ";
  EXPECT_EQ(attempts, (Args{refused + "1", name + " " + late.at[0] + " 1",
                            healthy.at[0] + " " + healthy.at[0] + " 1 ok", refused + "2",
                            name + " " + late.at[0] + " 2 ok", refused + "3"}));
  const auto cases = ReadReport(dir.path() / "r.xml")["cases"];
  EXPECT_THAT(cases[0]["system-out"]["text"].get<std::string>(),
              ::testing::MatchesRegex("127.0.0.1:1 .attempt 1, again.: .*\n127.0.0.1:1 .attempt "
                                      "2, again.: .*\n"));
  EXPECT_EQ(cases[0]["failure"]["text"], "connect: Connection refused");
  EXPECT_THAT(cases[1]["system-out"]["text"].get<std::string>(), HasSubstr("[attempt 1, again]"));
  EXPECT_FALSE(cases[1].contains("failure") || cases[2].contains("system-out"));
}

TEST(BadInput, Exit2SayingWhatIsWrong_BeforeAnyDeviceIsContacted) {
  TempDir dir;
  const SimulatedDevices fleet("127.0.5.1-127.0.5.100:0");
  const std::string fw = Firmware(dir, 10);
  const std::string list = dir.Write("bad.txt", fleet.at[0] + "\n#\n127.0.0.999\n").string();
  const std::string twice = dir.Write("twice.txt", "127.0.5.1:18810\n").string();
  std::filesystem::create_symlink("/dev/full", dir.path() / "full.csv");
  std::filesystem::create_symlink("/dev/null", dir.path() / "null.csv");
  const auto fifo = dir.path() / "fifo.csv";  // opened for writing, it would wait for a reader
  ::mkfifo(fifo.c_str(), 0600);
  const std::vector<std::pair<Args, std::string>> cases = {
      {{(dir.path() / "absent.bin").string(), fleet.at[0]}, "文件不存在！"},
      {{fw, fleet.at[0], "1.2.3.256"}, "'1.2.3.256' is not a device address"},
      {{fw}, "no device given"},
      {{"--devices-file", list, fw}, "line 3"},
      {{"--devices-file", dir.path() / "none.txt", fw}, "cannot read devices file"},
      {{"--devices-file", dir.path(), fw}, "is a directory"},
      {{"--devices-file", fifo, fw}, "is a FIFO"},
      {{"--report", fifo, fw, fleet.at[0]}, "is a FIFO"},
      {{"--trace", fifo, fw, fleet.at[0]}, "is a FIFO"},
      {{"--trace", "/dev/full", fw, fleet.at[0]}, "No space left on device"},
      {{"--report", dir.path() / "shift.txt", fw, fleet.at[0]}, "must be a .csv or .xml file"},
      {{"--report", dir.path() / "none" / "r.csv", fw, fleet.at[0]}, "cannot write report"},
      {{"--report", dir.path() / "full.csv", fw, fleet.at[0]}, "No space left on device"},
      {{"--devices-file", twice, fw, "127.0.5.1"},
       "device 127.0.5.1:18810 is given 2 times: '127.0.5.1' (the command line), "
       "'127.0.5.1:18810' (" +
           twice + " line 1)\n"},
      {{fw, "127.0.6.1-127.0.6.3", "127.0.6.0/30"}, "device 127.0.6.2:18810 is given 2 times"},
      {{fw, "localhost:7", "127.0.0.1:7"},
       "device 127.0.0.1:7 is given 2 times: 'localhost:7' (the command line), '127.0.0.1:7'"},
      {{fw, "127.0.0.0/16", "127.1.0.0/16"}, "more than 100000 devices in one run"},
      {{"--retries", "0x10", fw, fleet.at[0]}, "'0x10' is not a whole number from 0 to 100"},
      {{fw, "0x7f.0.0.1"}, "'0x7f.0.0.1' is a number but not a dotted-quad address"},
      {{"--retry-delay", "nan", fw, fleet.at[0]}, "'nan' is not a number of seconds from 0"},
      {Concat({fw}, fleet.at),
       "quento-cli: 100 devices at once need about 116 open files, but the limit is 64; raise it "
       "(ulimit -n 116) or use a smaller -j (at most 48)\n"}};
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(says);
    const CliRun run = RunCli(args, nullptr, 64);
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr(says));
  }
  EXPECT_EQ(fleet.simulator->framesReceived(), 0u);
  // Notepad starts a file with a byte order mark; /dev/null takes the records.
  std::string bom = "\xEF\xBB\xBF";
  for (const std::string& at : fleet.at) bom += at + "\n";
  const CliRun fewer =
      RunCli({"--pacing", "fast", "-j", "8", "--trace", "/dev/null", "--report",
              dir.path() / "null.csv", "--devices-file", dir.Write("bom.txt", bom).string(), fw},
             nullptr, 64);
  EXPECT_EQ(fewer.status, 0) << fewer.err;
  EXPECT_THAT(fewer.out, HasSubstr("summary: 100 devices, 100 succeeded"));
}

// --dry-run says what a run would dial, names resolved, and dials nothing.
TEST(Addressing, DryRun_EveryDeviceListedWithTheAddressANameStandsFor_NoneContacted) {
  TempDir dir;
  const SimulatedDevices device("127.0.5.1:0");
  const CliRun run = RunCli({"--dry-run", Firmware(dir, 10), "localhost:7", device.at[0]});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "localhost:7 (127.0.0.1:7)\n" + device.at[0] +
                         "\ndry run: 2 devices, 0 not resolved; none contacted\n");
  EXPECT_EQ(device.simulator->framesReceived(), 0u);
}

// Devices a run never started (Ctrl-C before their turn) get their rows when it ends; a detail that
// CSV must quote, and keep a spreadsheet from evaluating, reads back whole; a second run appends
// under the first one's header, once the row a full disk or a crash cut short (anywhere: in a
// quoted field, in a character, or given a line end by an older version) is moved aside.
TEST(Report, UnstartedDevicesRecorded_QuotedDetailWhole_SecondRunAppendsAfterMovingACutRowAside) {
  cli::DeviceResult unstarted;
  unstarted.report.detail = "=1+2, said \"no\"";
  const std::string quoted =
      "2026-12-07T05:09:26Z,vm,127.0.3.14:18810,127.0.3.14:18810,1,"
      "verify_failed,下载失败，上传校验时出错！,\"block 2, offset 2054";
  for (const std::string& cut : {std::string(), quoted, quoted.substr(0, quoted.find("！") + 2),
                                 std::string("2026-12-07T05:09:26Z,cut\r\n")}) {
    SCOPED_TRACE(cut);
    TempDir dir;
    const std::string path = (dir.path() / "r.csv").string();
    std::ostringstream err;
    for (int run = 0; run < 2; ++run) {
      std::string error;
      const auto report = cli::Report::Open(path, "fw.bin", "00", "", error, &err);
      for (const auto& result : {unstarted, cli::DeviceResult{}}) report->OnFinish(0, result);
      report->Finish({unstarted, {}}, 1);
      if (run == 0) std::ofstream(path, std::ios::app | std::ios::binary) << cut;
    }
    const auto rows = ReadReport(path);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[2]["detail"], "'" + unstarted.report.detail);
    for (const auto& row : rows) EXPECT_TRUE(Whole(row)) << row;
    EXPECT_EQ(std::ranges::count(dir.Read("r.csv"), '\n'),
              std::ranges::count(dir.Read("r.csv"), '\r'));
    EXPECT_EQ(dir.Read("r.csv.cut"), cut.empty() || cut.ends_with('\n') ? cut : cut + "\r\n");
    EXPECT_EQ(err.str(), cut.empty() ? ""
                                     : "quento-cli: " + path + ": an incomplete last row (" +
                                           std::to_string(cut.size()) + " bytes) was moved to " +
                                           path + ".cut\n");
  }
}

// A file-size limit (like a full disk) reached mid-run: a row cut short is taken out again before
// the next, so every row left is whole; a trace that stops taking lines fails the run, as an
// incomplete report does.
TEST(Report, LimitReachedMidRun_EveryRowLeftWhole_TraceAndReportFailuresExit1) {
  TempDir dir;
  const SimulatedDevices fleet("127.0.8.1-127.0.8.30:0");
  const std::string fw = Firmware(dir, 2);
  std::signal(SIGXFSZ, SIG_IGN);  // as quento-cli's main does
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{3000, limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  const CliRun run = RunCli(Concat(
      {"--pacing", "fast", "--trace", dir.path() / "trace", "--report", dir.path() / "r.csv", fw},
      fleet.at));
  ::setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("quento-cli: cannot write trace file"));
  const auto rows = ReadReport(dir.path() / "r.csv");
  for (const auto& row : rows) EXPECT_TRUE(Whole(row)) << row;
  const auto lost = std::ranges::count(run.err, '\n') - 2;  // less the trace's and the report's
  EXPECT_GT(lost, 0);
  EXPECT_EQ(rows.size() + lost, 30u) << run.err;
  EXPECT_THAT(
      run.err,
      ::testing::ContainsRegex(
          "was not written: File too large; the [0-9]+ bytes written of it were taken out"));
}

TEST(TerminalView, TwoHundredInFlightOnFortyRows_EveryRedrawFitsAndErasesOnlyItself) {
  std::ostringstream out;
  const auto display = cli::MakeDisplay(cli::DisplayMode::kTerminal, out, 200, 40, 80);
  cli::DeviceResult live;
  for (std::size_t i = 0; i < 200; ++i) {
    live.device = "127.0.1." + std::to_string(i);
    display->OnStart(i, live);
  }
  long drawn = 0;
  for (int tick = 0; tick < 3; ++tick) {
    out.str("");
    display->OnTick();
    // Up and erase once for each line it drew the last time, and no further.
    EXPECT_EQ(std::ranges::count(out.str(), '\x1b'), 2 * drawn);
    drawn = std::ranges::count(out.str(), '\n');
    EXPECT_EQ(drawn, 39);  // the cursor's row stays free
  }
  live.again = true;  // failed, to be tried again: no longer in flight, not yet done
  display->OnFinish(0, live);
  display->OnTick();
  EXPECT_THAT(out.str(), HasSubstr("total: 0/200 done, 0 succeeded, 199 in flight, 1 waiting"));
}

// One device succeeds, two are refused, the image's name is no UTF-8: every CSV column holds what
// the documented header names, the device's JSON and --station say, and the JUnit suite counts
// every device (not only the last).
TEST(Report, CsvColumnsAsTheJsonSays_JUnitCountsEveryDevice_WhateverBytesTheNamesHold) {
  TempDir dir;
  const SimulatedDevices device("127.0.0.1:0");
  const Args run = {dir.Write("fw\xff.bin", "abc").string(), device.at[0], "127.0.0.1:1",
                    "127.0.0.2:1"};
  const CliRun csv =
      RunCli(Concat({"--json", "--station", "line3", "--report", dir.path() / "r.csv"}, run));
  EXPECT_EQ(RunCli(Concat({"--report", dir.path() / "r.xml"}, run)).status, 1);
  EXPECT_EQ(csv.status, 1);
  const std::string text = dir.Read("r.csv");
  EXPECT_EQ(text.substr(0, text.find('\r')),
            "time,station,device,address,attempt,outcome,message,detail,bytes,blocks,"
            "write_retries,read_retries,seconds,image,sha256,quento_version");
  std::istringstream lines(csv.out);
  for (auto row : ReadReport(dir.path() / "r.csv")) {
    std::string line;
    std::getline(lines, line);
    auto json = nlohmann::json::parse(line);
    EXPECT_THAT(row["time"].get<std::string>(), ::testing::MatchesRegex("[0-9-]{10}T[0-9:]{8}Z"));
    json.update({{"time", row["time"]},
                 {"station", "line3"},
                 {"detail", json.value("detail", "")},
                 {"image", "fw\uFFFD.bin"},
                 {"quento_version", QUENTO_VERSION}});
    for (const auto& [column, value] : row.items()) {
      EXPECT_EQ(value,
                json[column].is_string() ? json[column] : nlohmann::json(json[column].dump()))
          << column;
    }
  }
  const auto suite = ReadReport(dir.path() / "r.xml");
  EXPECT_EQ(std::tuple(suite["tests"], suite["failures"], suite["errors"], suite["skipped"]),
            std::tuple("3", "2", "0", "0"));
}

// The shipped programs as an operator runs them: real processes, the standard pace, real signals.
// (A success saved by the real programs is the packages' check and the demo's.)
constexpr std::chrono::seconds kWait{20};

// Ctrl-C, SIGTERM (a service manager) and SIGHUP (the SSH session or terminal gone) stop a run
// alike: one record for every device, the one in flight and those never started, the JUnit file
// whole, and the request's own exit status.
class Stopping : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Stopping, EveryDeviceRecordedOnce_ReportWhole_ExitsWithTheRequestsStatus) {
  const auto [signal, status] = GetParam();
  TempDir dir;
  const SimulatedDevices silent("127.0.6.1-127.0.6.3:0", "silent");
  const std::string trace = (dir.path() / "trace").string();
  ChildProcess cli(Concat({QUENTO_CLI_EXE, "--json", "-j", "1", "--trace", trace, "--report",
                           (dir.path() / "r.xml").string(), Firmware(dir, 10)},
                          silent.at));
  // Until the first frame is out.
  WaitUntil([&] { return dir.Read("trace").find(" send ") != std::string::npos; }, kWait);
  cli.Signal(signal);
  std::istringstream out(cli.Finish(kWait).value_or(""));
  EXPECT_EQ(cli.status(), status);
  Args records;
  for (std::string line; std::getline(out, line);) {
    const auto o = nlohmann::json::parse(line);
    records.push_back(std::string(o["device"]) + " " + std::string(o["outcome"]));
  }
  EXPECT_THAT(records, ::testing::UnorderedElementsAre(silent.at[0] + " cancelled",
                                                       silent.at[1] + " cancelled",
                                                       silent.at[2] + " cancelled"));
  const auto suite = ReadReport(dir.path() / "r.xml");
  EXPECT_EQ(std::tuple(suite["tests"], suite["skipped"]), std::tuple("3", "3"));
}

INSTANTIATE_TEST_SUITE_P(Programs, Stopping,
                         ::testing::Values(std::pair(SIGINT, 130), std::pair(SIGTERM, 143),
                                           std::pair(SIGHUP, 129)));

// The program learns the open-files limit itself: more devices at once than it allows are refused
// before any is contacted (none listens here: a contact would end with exit status 1).
TEST(Programs, FleetBeyondTheOpenFilesLimit_RefusedWithExit2) {
  TempDir dir;
  std::string command = "ulimit -n 64 && exec " + std::string(QUENTO_CLI_EXE) + ' ' +
                        dir.Write("fw.bin", "x").string();
  for (int i = 1; i <= 100; ++i) command += " 127.0.9." + std::to_string(i) + ":1";
  ChildProcess cli({"/bin/sh", "-c", command});
  ASSERT_TRUE(cli.Finish(kWait).has_value());
  EXPECT_EQ(cli.status(), 2);
}

}  // namespace
}  // namespace quento::testing
