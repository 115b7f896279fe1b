// The shipped programs, as an operator runs them: real processes, real pauses, small images.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace quento::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

constexpr std::chrono::seconds kWait{20};

class ProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = std::make_unique<ChildProcess>(std::vector<std::string>{
        QUENTO_DEVICE_EXE, "--listen", "127.0.0.1:0", "--save", dir.path().string()});
    ASSERT_TRUE(device->running());
    const auto line = device->ReadLine(kWait);  // ready once it says where it listens
    ASSERT_TRUE(line.has_value());
    ASSERT_THAT(*line, StartsWith("listening on 127.0.0.1:"));
    address = line->substr(std::string("listening on ").size());
  }

  std::string Firmware(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 253);
    firmware = data;
    return dir.Write("fw.bin", data).string();
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> device;
  std::string address;
  std::string firmware;
};

TEST_F(ProgramsTest, StandardPacedDownload_DeviceSavesTheOperatorsFile) {
  ChildProcess cli({QUENTO_CLI_EXE, Firmware(1500), address});
  const std::string out = cli.Finish(kWait).value_or("<still running>");
  EXPECT_EQ(cli.status(), 0) << out;
  EXPECT_THAT(out, StartsWith(address + ": 下载成功！\n"));
  const auto saved = device->ReadLine(kWait);
  ASSERT_TRUE(saved.has_value());
  EXPECT_THAT(*saved, MatchesRegex("saved 1500 bytes from 127\\.0\\.0\\.1:[0-9]+ to .*\\.bin"));
  const std::string path = saved->substr(saved->rfind(" to ") + 4);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), firmware);

  device->Signal(SIGTERM);
  device->Finish(kWait);
  EXPECT_EQ(device->status(), 0);
}

TEST_F(ProgramsTest, CtrlC_StopsTheDownloadAndExits130) {
  const auto trace = dir.path() / "trace.txt";
  ChildProcess cli({QUENTO_CLI_EXE, "--trace", trace.string(), Firmware(16 * 1024), address});
  // Ready to be interrupted once the first frame has gone out (bounded wait).
  const auto started = [&trace] {
    std::error_code absent;
    const auto size = std::filesystem::file_size(trace, absent);
    return !absent && size > 0;
  };
  for (int i = 0; i < 1000 && !started(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  cli.Signal(SIGINT);
  const std::string out = cli.Finish(kWait).value_or("<still running>");
  EXPECT_EQ(cli.status(), 130);
  EXPECT_THAT(out, HasSubstr("1 interrupted"));
}

}  // namespace
}  // namespace quento::testing
