// The command line: RunDevice's exit statuses in-process, and the program itself end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device/simulator.h"
#include "image/firmware_image.h"
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
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunWith({"--fault", "explode"}), 2);
  EXPECT_EQ(RunWith({"--fault", "127.0.0.5/explode"}), 2);
  EXPECT_EQ(RunWith({"--fault", "300.0.0.1/silent"}), 2);
  EXPECT_EQ(RunWith({"--listen", "127.0.0.1:99999"}), 2);
  EXPECT_EQ(RunWith({"--listen", "127.0.0.9-127.0.0.1"}), 2);
  EXPECT_EQ(RunWith({"--no-such-option"}), 2);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("explode"), std::string::npos) << err;
}

TEST(RunDevice, VersionAndHelpExitZero) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunWith({"--version"}), 0);
  EXPECT_EQ(RunWith({"--help"}), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("quento-device"), std::string::npos);
  EXPECT_NE(out.find("--fault"), std::string::npos);
}

TEST(RunDevice, BindFailureExitsOne) {
  SimulatorOptions options;
  options.listen = {"127.0.0.1:0"};
  Simulator holder(std::move(options));
  ASSERT_TRUE(holder.Start(nullptr));
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunWith({"--listen", holder.endpoints()[0].ToString()}), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("cannot bind"), std::string::npos) << err;
}

// The program in a child process, its stdout read line by line.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      args.insert(args.begin(), QUENTO_DEVICE_BIN);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    m_out = out[0];
  }
  ~Program() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    ::close(m_out);
  }

  // The next line of output, or "" after `timeout`.
  std::string Line(std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto nl = m_buffer.find('\n'); nl != std::string::npos) {
        std::string line = m_buffer.substr(0, nl);
        m_buffer.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{m_out, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buf[512];
      const ssize_t got = ::read(m_out, buf, sizeof buf);
      if (got <= 0) return "";
      m_buffer.append(buf, static_cast<std::size_t>(got));
    }
  }

  // Sends `signal` and returns the exit status (-1 if it did not exit normally in time).
  int Signal(int signal) {
    ::kill(m_pid, signal);
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_buffer;
};

TEST(QuentoDevice, ServesSavesAndStopsOnSigterm) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("quento-device-program-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  Program program(
      {"--listen", "127.0.0.1-127.0.0.2:0", "--save", dir.string(), "--fault", "127.0.0.2/silent"});
  const std::regex listening(R"(listening on (127\.0\.0\.[12]):(\d+))");
  std::vector<Endpoint> endpoints;
  for (int i = 0; i < 2; ++i) {
    const std::string line = program.Line();
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
  const std::string saved = program.Line();
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(saved, m, std::regex(R"(saved 2 bytes from 127\.0\.0\.1:\d+ to (.+))")))
      << saved;
  EXPECT_TRUE(std::filesystem::exists(m[1].str()));
  EXPECT_EQ(std::filesystem::file_size(m[1].str()), 2u);
  EXPECT_EQ(program.Signal(SIGTERM), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quento::device
