// quento-cli against one simulated device over loopback TCP: every ending and what it says.
#include <gmock/gmock.h>

#include "cli_fixture.h"
#include "support/loopback_listener.h"

namespace quento::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ImageSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ImageSizes, DeviceEndsUpHoldingExactlyTheFile_InPlainLines) {
  TempDir dir;
  SimulatedDevices device;
  const CliRun run = RunCliWith({"--pacing", "fast", Firmware(dir, GetParam()), device.address()});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.Lines().front(), device.address() + ": 下载成功！");
  EXPECT_THAT(run.out, HasSubstr("summary: 1 device, 1 succeeded, 0 failed"));
  EXPECT_EQ(run.out.find_first_of("\x1b\r"), std::string::npos);  // no terminal, no redraw
  EXPECT_EQ(device.LastImage(), PatternImage(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Download, ImageSizes, ::testing::Values(0, 1, 1024, 1025, 262144));

struct FailureCase {
  const char* name;
  std::vector<std::string> faults;
  std::size_t size;
  const char* line;
};

class InjectedFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InjectedFailures, ReportTheirOwnText) {
  const FailureCase& c = GetParam();
  TempDir dir;
  SimulatedDevices device("127.0.0.1:0", c.faults);
  const CliRun run = RunCliWith({"--pacing", "fast", Firmware(dir, c.size), device.address()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.Lines().front(), StartsWith(device.address() + ": " + c.line));
}

constexpr const char* kNoResponse = "下载失败，固件无响应！";

INSTANTIATE_TEST_SUITE_P(
    Download, InjectedFailures,
    ::testing::Values(
        FailureCase{"Silent", {"silent"}, 100, kNoResponse},
        FailureCase{"Block0NeverAcknowledged", {"drop-ack:0:always"}, 2048, kNoResponse},
        FailureCase{"WrongAckAlways", {"wrong-ack:1:always"}, 2048, kNoResponse},
        FailureCase{"ReadBackIndexWrongSixTimes", {"wrong-read-index:6"}, 2048, kNoResponse},
        FailureCase{"CorruptReadBack",
                    {"corrupt-read:1:6"},
                    3000,
                    "下载失败，上传校验时出错！ (block 1, offset 1030)"},
        FailureCase{"HangsUp", {"close-after:2"}, 3000, "下载失败，请确认IP地址是否正确！"}),
    [](const auto& info) { return info.param.name; });

TEST(Recovery, RecoverableFaultsOrOddlyCutReplies_StillEndWithTheImageOnTheDevice) {
  TempDir dir;
  struct Case {
    std::vector<std::string> faults;
    int retries;  // of writes, and of read-backs
  };
  for (const Case& c :
       {Case{{"ignore-greeting:2", "drop-ack:1:1", "wrong-ack:2:2", "wrong-read-index:3"}, 3},
        Case{{"split:20"}, 0}, Case{{"junk:3"}, 0}}) {
    SCOPED_TRACE(c.faults.front());
    SimulatedDevices device("127.0.0.1:0", c.faults);
    const CliRun run =
        RunCliWith({"--pacing", "fast", "--json", Firmware(dir, 4000), device.address()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.Objects().at(0)["write_retries"], c.retries);
    EXPECT_EQ(run.Objects().at(0)["read_retries"], c.retries);
    EXPECT_EQ(device.LastImage(), PatternImage(4000));
  }
}

TEST(ConnectFailures, RefusedOrNeverAnswered_ConnectFailedWithTheSystemsWords) {
  TempDir dir;
  LoopbackListener closed;
  const std::uint16_t refusing = closed.port();
  closed.Close();
  LoopbackListener full(0);
  auto queued = full.ConnectClient();  // takes the queue's one place: no handshake completes
  const std::string fw = Firmware(dir, 10);
  for (const auto& [port, detail] : {std::pair{refusing, "connect: Connection refused"},
                                     std::pair{full.port(), "connect: no answer within 200 ms"}}) {
    SCOPED_TRACE(detail);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    const CliRun json = RunCliWith({"--json", fw, address}, {.connectWait = 200ms});
    EXPECT_EQ(json.status, 1);
    ASSERT_EQ(json.Objects().size(), 1u);
    EXPECT_EQ(json.Objects()[0]["outcome"], "connect_failed");
    EXPECT_EQ(json.Objects()[0]["message"], "连接失败，请确认IP地址和端口号是否正确！");
    EXPECT_EQ(json.Objects()[0]["detail"], detail);
    const CliRun plain = RunCliWith({fw, address}, {.connectWait = 200ms});
    EXPECT_EQ(plain.Lines().at(0),
              address + ": 连接失败，请确认IP地址和端口号是否正确！ (" + detail + ")");
  }
}

TEST(Json, ObjectCarriesTheContractFields) {
  TempDir dir;
  SimulatedDevices device("127.0.0.1:0", {"corrupt-read:1:6"});
  const CliRun run =
      RunCliWith({"--pacing", "fast", "--json", Firmware(dir, 2048), device.address()});
  const auto object = run.Objects().at(0);
  EXPECT_EQ(object["device"], device.address());
  EXPECT_EQ(object["outcome"], "verify_failed");
  EXPECT_EQ(object["message"], "下载失败，上传校验时出错！");
  EXPECT_EQ(object["bytes"], 2048);
  EXPECT_EQ(object["blocks"], 2);
  EXPECT_EQ(object["first_difference"], 1030);
  EXPECT_TRUE(object["seconds"].is_number());
  EXPECT_FALSE(object.contains("detail"));  // the system had nothing to say
  EXPECT_THAT(run.err, HasSubstr("summary: 1 device, 0 succeeded, 1 failed (verify_failed: 1)"));
}

TEST(Usage, HelpAndVersion_ExitZero) {
  for (const auto& [option, says] :
       {std::pair{"--help", "--pacing"}, std::pair{"--version", "1.0.1"}}) {
    const CliRun run = RunCliWith({option});
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_THAT(run.out, HasSubstr(says));
  }
}

}  // namespace
}  // namespace quento::testing
