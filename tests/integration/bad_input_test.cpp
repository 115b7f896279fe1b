// Everything an operator or a device can hand the tool that is wrong, and what the tool says.
#include <gmock/gmock.h>

#include <asio/write.hpp>
#include <fstream>
#include <functional>

#include "cli_fixture.h"
#include "protocol/frames.h"
#include "support/loopback_listener.h"

namespace quento::testing {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;
using Script = std::function<void(tcp::socket&)>;

const Bytes kAck = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00};

// A hand-written device for behaviour the simulator does not offer: `script` runs on the one
// connection it accepts.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(Script script)
      : m_port(m_listener.port()), m_thread([this, script] {
          if (auto connection = m_listener.AcceptWithin(20s)) {
            connection->set_option(tcp::no_delay(true));
            script(*connection);
          }
        }) {}
  ~ScriptedPeer() { m_thread.join(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

 private:
  LoopbackListener m_listener;
  std::uint16_t m_port;
  std::thread m_thread;  // last: starts once the listener is there
};

bool Write(tcp::socket& s, const Bytes& bytes) {
  std::error_code error;
  asio::write(s, asio::buffer(bytes), error);
  return !error;
}

// A correct device (for images of one block) that sends every reply one byte per segment.
void OneByteAtATime(tcp::socket& s) {
  using namespace protocol;
  Bytes stored;
  Bytes reply(kMaxFrameSize);
  for (Bytes head; (head = ReadExactly(s, 4)).size() == 4 && head[3] != kCmdComplete;) {
    const Bytes rest = head[3] == kCmdGreeting ? Bytes{} : ReadExactly(s, 3);
    std::size_t size = head[3] == kCmdGreeting ? BuildGreetingEcho(reply) : 0;
    if (head[3] == kCmdWrite) {
      stored = ReadExactly(s, static_cast<std::size_t>((rest[0] << 8) | rest[1]) + 1);
      stored.pop_back();  // the checksum
      size = BuildWriteAck(reply);
    }
    if (head[3] == kCmdRead) size = BuildBlockReadReply(reply, rest[2], stored);
    for (std::size_t i = 0; i < size && Write(s, {reply[i]}); ++i) std::this_thread::sleep_for(1ms);
  }
}

struct DeviceCase {
  const char* name;
  Script script;
  const char* outcome;
};

class MisbehavingDevices : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(MisbehavingDevices, EndWithTheirOutcome) {
  TempDir dir;
  ScriptedPeer device(GetParam().script);
  const CliRun run =
      RunCliWith({"--pacing", "fast", "--json", Firmware(dir, 500), device.address()});
  ASSERT_EQ(run.Objects().size(), 1u) << run.out << run.err;
  EXPECT_EQ(run.Objects()[0]["outcome"], GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    BadDevices, MisbehavingDevices,
    ::testing::Values(DeviceCase{"Floods",
                                 [](tcp::socket& s) {
                                   for (int i = 0; i < 200 && Write(s, Bytes(64 * 1024, 0x12));
                                        ++i) {
                                   }
                                 },
                                 "no_response"},
                      DeviceCase{"HalfClosesAtOnce",
                                 [](tcp::socket& s) {
                                   s.shutdown(tcp::socket::shutdown_send);
                                   while (ReadExactly(s, 1).size() == 1) {
                                   }
                                 },
                                 "no_response"},
                      DeviceCase{"ResetsOnTheFirstFrame",
                                 [](tcp::socket& s) {
                                   ReadExactly(s, 4);
                                   s.set_option(asio::socket_base::linger(true, 0));
                                 },
                                 "send_failed"},
                      DeviceCase{"AnswersWithTheWrongCommand",
                                 [](tcp::socket& s) {
                                   while (ReadExactly(s, 4).size() == 4 && Write(s, kAck)) {
                                   }
                                 },
                                 "no_response"},
                      DeviceCase{"RepliesOneByteAtATime", OneByteAtATime, "success"}),
    [](const auto& info) { return info.param.name; });

TEST(BadOperatorInput, UsageErrors_ExitTwoSayingWhatIsWrong) {
  TempDir dir;
  const std::string fw = Firmware(dir, 1);
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{fw}, "no device given"},
      {{"--pacing", "slow", fw, "127.0.0.1"}, "--pacing"},
      {{"--jobs", "0", fw, "127.0.0.1"}, "--jobs"},
      {{"--bogus", fw, "127.0.0.1"}, "--bogus"},
      {{"--devices-file", (dir.path() / "none.txt").string(), fw}, "cannot read devices file"}};
  for (const char* address :
       {"", "localhost", "1.2.3", "1.2.3.4.5", "1.2.3.256", "0.0.0.0", "255.255.255.255",
        "1.2.3.4:", "1.2.3.4:0", "1.2.3.4:70000", "1.2.3.4:-1", "::1", "1.2.3.4 ", "０.１.２.３"}) {
    cases.push_back({{fw, address}, "is not a device address"});
  }
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const CliRun run = RunCliWith(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr(says));
  }
}

TEST(BadOperatorInput, UnusableFirmware_IsReportedOnceBeforeAnyDeviceIsContacted) {
  TempDir dir;
  SimulatedDevices device;
  const auto locked = dir.Write("locked.bin", "x");
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  struct Case {
    std::string path;
    const char* outcome;
    const char* text;
  };
  for (const Case& c : {Case{(dir.path() / "absent.bin").string(), "file_missing", "文件不存在！"},
                        Case{dir.path().string(), "file_unreadable", "文件读取失败！"},
                        Case{locked.string(), "file_unreadable", "文件读取失败！"},
                        Case{dir.Write("big.bin", std::string(262145, 'x')).string(),
                             "file_too_large", "文件过大，不能超过256KB！"}}) {
    SCOPED_TRACE(c.path);
    // Root reads files whatever their permissions.
    if (c.path == locked.string() && ::geteuid() == 0) continue;
    const CliRun run = RunCliWith({"--json", c.path, device.address(), device.address()});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, HasSubstr(c.text));
    ASSERT_EQ(run.Objects().size(), 1u);
    EXPECT_EQ(run.Objects()[0]["outcome"], c.outcome);
  }
  EXPECT_EQ(device.simulator().framesReceived(), 0u);
}

TEST(BadOperatorInput, FileChangedDuringTheDownload_DeviceGetsTheFileAsItWasRead) {
  TempDir dir;
  SimulatedDevices device("127.0.0.1:0", {"delay:30"});
  const auto path = dir.Write("fw.bin", PatternImage(3000, 1));
  std::thread editor([&] {
    // Once the device has been greeted, rewrite the file in place (bounded wait).
    for (int i = 0; i < 500 && device.simulator().framesReceived() == 0; ++i) {
      std::this_thread::sleep_for(2ms);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << PatternImage(5000, 2);
  });
  const CliRun run = RunCliWith({"--pacing", "fast", path.string(), device.address()});
  editor.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(device.LastImage(), PatternImage(3000, 1));
}

}  // namespace
}  // namespace quento::testing
