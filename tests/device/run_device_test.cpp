// The command line: RunDevice's exit statuses in-process, and the program itself end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device/simulator.h"
#include "image/firmware_image.h"
#include "support/child_process.h"
#include "test_client.h"

namespace quento::device {
namespace {

using namespace std::chrono_literals;

int RunWith(std::vector<std::string> args) {
  args.insert(args.begin(), "quento-device");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return RunDevice(static_cast<int>(args.size()), argv.data());
}

TEST(RunDevice, UsageErrorsExitTwo) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunWith({"--fault", "explode"}), 2);
  EXPECT_EQ(RunWith({"--fault", "127.0.0.5/explode"}), 2);
  EXPECT_EQ(RunWith({"--fault", "300.0.0.1/silent"}), 2);
  EXPECT_EQ(RunWith({"--listen", "127.0.0.1:99999"}), 2);
  EXPECT_EQ(RunWith({"--listen", "127.0.0.9-127.0.0.1"}), 2);
  EXPECT_EQ(RunWith({"--no-such-option"}), 2);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("explode"), std::string::npos) << err;
}

TEST(RunDevice, VersionAndHelpExitZero) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunWith({"--version"}), 0);
  EXPECT_EQ(RunWith({"--help"}), 0);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("quento-device"), std::string::npos);
  EXPECT_NE(out.find("--fault"), std::string::npos);
}

TEST(RunDevice, BindFailureExitsOne) {
  SimulatorOptions options;
  options.listen = {"127.0.0.1:0"};
  Simulator holder(std::move(options));
  ASSERT_TRUE(holder.Start(nullptr));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunWith({"--listen", holder.endpoints()[0].ToString()}), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("cannot bind"), std::string::npos) << err;
}

TEST(QuentoDevice, ServesSavesAndStopsOnSigterm) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quento-device-program-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  quento::testing::ChildProcess program({QUENTO_DEVICE_BIN, "--listen", "127.0.0.1-127.0.0.2:0",
                                         "--save", dir.string(), "--fault", "127.0.0.2/silent"});
  const std::regex listening(R"(listening on (127\.0\.0\.[12]):(\d+))");
  std::vector<Endpoint> endpoints;
  for (int i = 0; i < 2; ++i) {
    const std::string line = program.ReadLine(5s).value_or("");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, listening)) << line;
    endpoints.push_back(
        {i == 0 ? 0x7F000001u : 0x7F000002u, static_cast<std::uint16_t>(std::stoi(m[2]))});
  }
  {
    test::Client silent(endpoints[1]);
    ASSERT_TRUE(silent.Send(test::Greeting()));
    EXPECT_TRUE(silent.Read(6, 30ms).empty());
  }
  test::Client c(endpoints[0]);
  ASSERT_TRUE(c.Send(test::Greeting()));
  EXPECT_EQ(c.Read(6), test::kEcho);
  ASSERT_TRUE(c.Send(test::BlockWrite(0, test::Bytes{0x00, 0x01})));
  EXPECT_EQ(c.Read(6), test::kAck);
  ASSERT_TRUE(c.Send(test::Completion()));
  const std::string saved = program.ReadLine(5s).value_or("");
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(saved, m, std::regex(R"(saved 2 bytes from 127\.0\.0\.1:\d+ to (.+))")))
      << saved;
  EXPECT_TRUE(std::filesystem::exists(m[1].str()));
  EXPECT_EQ(std::filesystem::file_size(m[1].str()), 2u);
  program.Signal(SIGTERM);
  program.Finish(5s);
  EXPECT_EQ(program.status(), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quento::device
