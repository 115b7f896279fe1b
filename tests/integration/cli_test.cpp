// quento-cli against the simulator over loopback TCP.
#include <gmock/gmock.h>

#include "cli_fixture.h"

namespace quento::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class CliTest : public ::testing::Test {
 protected:
  std::string Firmware(std::size_t size) {
    return dir.Write("fw.bin", PatternImage(size)).string();
  }

  TempDir dir;
};

class ImageSizes : public CliTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ImageSizes, DeviceEndsUpHoldingExactlyTheFile) {
  SimulatedDevice device;
  const CliRun run = RunCliWith({"--pacing", "fast", Firmware(GetParam()), device.address()});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.Lines().front(), device.address() + ": 下载成功！");
  EXPECT_EQ(device.LastImage(), PatternImage(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Download, ImageSizes, ::testing::Values(0, 1, 1024, 1025, 262144));

struct FailureCase {
  const char* name;
  std::vector<std::string> faults;
  std::size_t size;
  const char* outcome;
  const char* line;
};

class InjectedFailures : public CliTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InjectedFailures, ReportTheirOwnTextAndOutcome) {
  const FailureCase& c = GetParam();
  SimulatedDevice device(c.faults);
  const CliRun text = RunCliWith({"--pacing", "fast", Firmware(c.size), device.address()});
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(text.Lines().front(), device.address() + ": " + c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Download, InjectedFailures,
    ::testing::Values(
        FailureCase{"Silent", {"silent"}, 100, "no_response", "下载失败，固件无响应！"},
        FailureCase{"Block0NeverAcknowledged",
                    {"drop-ack:0:always"},
                    2048,
                    "no_response",
                    "下载失败，固件无响应！"},
        FailureCase{"WrongAckAlways",
                    {"wrong-ack:1:always"},
                    2048,
                    "no_response",
                    "下载失败，固件无响应！"},
        FailureCase{"ReadBackIndexWrongSixTimes",
                    {"wrong-read-index:6"},
                    2048,
                    "no_response",
                    "下载失败，固件无响应！"},
        FailureCase{"CorruptReadBack",
                    {"corrupt-read:1:6"},
                    3000,
                    "verify_failed",
                    "下载失败，上传校验时出错！ (block 1, offset 1030)"},
        FailureCase{
            "HangsUp", {"close-after:2"}, 3000, "send_failed", "下载失败，请确认IP地址是否正确！"}),
    [](const auto& info) { return info.param.name; });

TEST_F(CliTest, RecoverableFaults_StillEndWithTheImageOnTheDevice) {
  SimulatedDevice device(
      {"ignore-greeting:2", "drop-ack:1:1", "wrong-ack:2:2", "wrong-read-index:3"});
  const CliRun run = RunCliWith({"--pacing", "fast", "--json", Firmware(4000), device.address()});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const auto result = run.Objects().at(0);
  EXPECT_EQ(result["outcome"], "success");
  EXPECT_EQ(result["write_retries"], 3);
  EXPECT_EQ(result["read_retries"], 3);
  EXPECT_EQ(device.LastImage(), PatternImage(4000));
}

TEST_F(CliTest, RepliesInTwoSegmentsOrWithTrailingJunk_AreReadCorrectly) {
  for (const char* fault : {"split:20", "junk:3"}) {
    SimulatedDevice device({fault});
    const CliRun run = RunCliWith({"--pacing", "fast", "--json", Firmware(3000), device.address()});
    ASSERT_EQ(run.status, 0) << fault << run.out;
    EXPECT_EQ(run.Objects().at(0)["write_retries"], 0) << fault;
    EXPECT_EQ(device.LastImage(), PatternImage(3000)) << fault;
  }
}

TEST_F(CliTest, NothingListening_ConnectFailed) {
  std::string address;
  {
    SimulatedDevice gone;
    address = gone.address();
  }
  const CliRun run = RunCliWith({"--json", Firmware(10), address});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.Objects().at(0)["outcome"], "connect_failed");
  EXPECT_EQ(run.Objects().at(0)["message"], "连接失败，请确认IP地址和端口号是否正确！");
}

TEST_F(CliTest, JsonObjectCarriesTheContractFields) {
  SimulatedDevice device({"corrupt-read:1:6"});
  const CliRun run = RunCliWith({"--pacing", "fast", "--json", Firmware(2048), device.address()});
  const auto object = run.Objects().at(0);
  EXPECT_EQ(object["device"], device.address());
  EXPECT_EQ(object["outcome"], "verify_failed");
  EXPECT_EQ(object["message"], "下载失败，上传校验时出错！");
  EXPECT_EQ(object["bytes"], 2048);
  EXPECT_EQ(object["blocks"], 2);
  EXPECT_EQ(object["first_difference"], 1030);
  EXPECT_TRUE(object["seconds"].is_number());
  EXPECT_THAT(run.err, HasSubstr("summary: 1 device, 0 succeeded, 1 failed (verify_failed: 1)"));
}

TEST_F(CliTest, UnusableFirmware_IsReportedOnceBeforeAnyDeviceIsContacted) {
  SimulatedDevice device;
  struct Case {
    std::string path;
    const char* outcome;
    const char* text;
  };
  for (const Case& c : {Case{(dir.path() / "absent.bin").string(), "file_missing", "文件不存在！"},
                        Case{dir.path().string(), "file_unreadable", "文件读取失败！"},
                        Case{dir.Write("big.bin", std::string(262145, 'x')).string(),
                             "file_too_large", "文件过大，不能超过256KB！"}}) {
    const CliRun run = RunCliWith({"--json", c.path, device.address(), device.address()});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr(c.text));
    ASSERT_EQ(run.Objects().size(), 1u) << c.path;
    EXPECT_EQ(run.Objects()[0]["outcome"], c.outcome);
  }
  EXPECT_EQ(device.simulator().framesReceived(), 0u);
}

TEST_F(CliTest, UsageErrors_ExitTwo) {
  const std::string fw = Firmware(10);
  for (const std::vector<std::string>& args : {std::vector<std::string>{fw},
                                               {fw, "300.1.1.1"},
                                               {fw, "127.0.0.1:0"},
                                               {"--pacing", "slow", fw, "127.0.0.1"},
                                               {"--jobs", "0", fw, "127.0.0.1"},
                                               {"--bogus", fw, "127.0.0.1"}}) {
    EXPECT_EQ(RunCliWith(args).status, 2) << args.back();
  }
}

TEST_F(CliTest, HelpAndVersion_ExitZero) {
  const CliRun help = RunCliWith({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("--pacing"));
  const CliRun version = RunCliWith({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, HasSubstr("1.0.1"));
}

TEST_F(CliTest, OutputWithoutTerminal_HasNoControlCharacters) {
  SimulatedDevice device;
  const CliRun run = RunCliWith({"--pacing", "fast", Firmware(3000), device.address()});
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  EXPECT_THAT(run.out, HasSubstr("summary: 1 device, 1 succeeded, 0 failed"));
}

}  // namespace
}  // namespace quento::testing
