// The command line in-process (exit statuses), and the program itself as a child process.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "device_test.h"
#include "support/child_process.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace quento::device {
namespace {

using namespace test;
using namespace std::chrono_literals;

int RunWith(std::vector<std::string> args) {
  args.insert(args.begin(), "quento-device");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return RunDevice(static_cast<int>(args.size()), argv.data());
}

TEST(RunDevice, CommandLine_ExitStatusAndMessage) {
  Simulator holder({.listen = {"127.0.0.1:0"}});
  ASSERT_TRUE(holder.Start(nullptr));
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"--fault", "explode"}, 2, "explode"},
      {{"--fault", "127.0.0.5/explode"}, 2, "explode"},
      {{"--fault", "300.0.0.1/silent"}, 2, "300.0.0.1"},
      {{"--listen", "127.0.0.1:99999"}, 2, "bad port"},
      {{"--no-such-option"}, 2, "--no-such-option"},
      {{"--listen", holder.endpoints()[0].ToString()}, 1, "cannot bind"},
      {{"--listen", "127.3.0.1-127.3.1.44:0", "--listen", "127.3.0.1:0"}, 1, "listed twice"},
      {{"--version"}, 0, "quento-device"},
      {{"--help"}, 0, "more than 256 share one socket on 0.0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunWith(c.args), c.status);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE((out + err).find(c.says), std::string::npos) << out << err;
  }
}

TEST(QuentoDevice, ServesAddressFaultsSavesAndExitsZeroOnSigterm) {
  quento::testing::TempDir dir;
  quento::testing::ChildProcess program({QUENTO_DEVICE_BIN, "--listen", "127.0.0.1-127.0.0.2:0",
                                         "--save", dir.path().string(), "--fault",
                                         "127.0.0.2/silent", "--fault", "127.0.0.2/close-after:1"});
  const std::regex listening(R"(listening on 127\.0\.0\.([12]):(\d+))");
  std::uint16_t ports[2] = {};
  for (int i = 0; i < 2; ++i) {
    const std::string line = program.ReadLine(10s).value_or("");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, listening)) << line;
    ports[std::stoi(m[1]) - 1] = static_cast<std::uint16_t>(std::stoi(m[2]));
  }
  quento::testing::TcpClient silent(0x7F000002, ports[1]);
  ASSERT_TRUE(silent.Send(Greeting()));
  EXPECT_EQ(silent.ReadUntilClosed(), Bytes{});
  EXPECT_NE(program.ReadLine(10s).value_or("").find("(close-after fault)"), std::string::npos);

  quento::testing::TcpClient client(0x7F000001, ports[0]);
  ASSERT_TRUE(client.Send(Concat({Greeting(), BlockWrite(0, Bytes{0x00, 0x01}), Completion()})));
  EXPECT_EQ(client.Read(12), Concat({Echo(), Ack()}));
  const std::string saved = program.ReadLine(10s).value_or("");
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(saved, m, std::regex(R"(saved 2 bytes from 127\.0\.0\.1:\d+ to (.+))")))
      << saved;
  EXPECT_EQ(std::filesystem::file_size(m[1].str()), 2u);
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Finish(10s).has_value());
  EXPECT_EQ(program.status(), 0);
}

}  // namespace
}  // namespace quento::device
