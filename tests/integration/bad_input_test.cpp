// Everything an operator or a device can hand the tool that is wrong, and what the tool says.
#include <gmock/gmock.h>

#include <fstream>

#include "cli_fixture.h"
#include "scripted_peer.h"

namespace quento::testing {
namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

const Bytes kEcho = {0x12, 0x34, 0x56, 0x7B, 0x00, 0x00};
const Bytes kAck = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00};

// A correct device for a one-block image that sends every reply one byte per segment.
void OneByteAtATime(int fd) {
  auto trickle = [fd](const Bytes& reply) {
    for (std::uint8_t b : reply) {
      if (!ScriptedPeer::Write(fd, {b})) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  };
  Bytes frame;
  Bytes stored;
  while (ScriptedPeer::ReadExactly(fd, frame, 4)) {
    if (frame[3] == 0x7B) {
      trickle(kEcho);
    } else if (frame[3] == 0x78) {
      Bytes rest;
      ScriptedPeer::ReadExactly(fd, rest, 3);
      const std::size_t n = (rest[0] << 8) | rest[1];
      ScriptedPeer::ReadExactly(fd, stored, n + 1);
      stored.pop_back();
      trickle(kAck);
    } else if (frame[3] == 0x79) {
      Bytes rest;
      ScriptedPeer::ReadExactly(fd, rest, 3);
      Bytes reply = {0x12, 0x34, 0x56, 0x79, rest[0], rest[1], rest[2]};
      std::uint8_t sum = 0;
      for (std::uint8_t b : stored) sum = static_cast<std::uint8_t>(sum + b);
      reply.insert(reply.end(), stored.begin(), stored.end());
      reply.push_back(sum);
      trickle(reply);
    } else {
      return;  // completion
    }
  }
}

struct DeviceCase {
  const char* name;
  ScriptedPeer::Script script;
  const char* outcome;
};

class MisbehavingDevices : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(MisbehavingDevices, EndWithTheirOutcomeText) {
  TempDir dir;
  ScriptedPeer device(GetParam().script);
  const CliRun run =
      RunCliWith({"--pacing", "fast", "--json", dir.Write("fw.bin", PatternImage(500)).string(),
                  device.address()});
  ASSERT_EQ(run.Objects().size(), 1u) << run.out << run.err;
  EXPECT_EQ(run.Objects()[0]["outcome"], GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    BadDevices, MisbehavingDevices,
    ::testing::Values(DeviceCase{"Floods",
                                 [](int fd) {
                                   const Bytes junk(64 * 1024, 0x12);
                                   for (int i = 0; i < 200 && ScriptedPeer::Write(fd, junk); ++i) {
                                   }
                                 },
                                 "no_response"},
                      DeviceCase{"HalfClosesAtOnce",
                                 [](int fd) {
                                   ::shutdown(fd, SHUT_WR);
                                   Bytes sink;
                                   while (ScriptedPeer::ReadExactly(fd, sink, 1)) {
                                   }
                                 },
                                 "no_response"},
                      DeviceCase{"ResetsOnTheFirstFrame",
                                 [](int fd) {
                                   Bytes frame;
                                   ScriptedPeer::ReadExactly(fd, frame, 4);
                                   const linger abort{1, 0};
                                   ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                                 },
                                 "send_failed"},
                      DeviceCase{"AnswersWithTheWrongCommand",
                                 [](int fd) {
                                   Bytes frame;
                                   while (ScriptedPeer::ReadExactly(fd, frame, 4))
                                     ScriptedPeer::Write(fd, kAck);
                                 },
                                 "no_response"},
                      DeviceCase{"RepliesOneByteAtATime", OneByteAtATime, "success"}),
    [](const auto& info) { return info.param.name; });

TEST(BadOperatorInput, AddressesThatAreNoDevice_AreUsageErrors) {
  TempDir dir;
  const std::string fw = dir.Write("fw.bin", "x").string();
  for (const char* address :
       {"", "localhost", "1.2.3", "1.2.3.4.5", "1.2.3.256", "0.0.0.0", "255.255.255.255",
        "1.2.3.4:", "1.2.3.4:70000", "1.2.3.4:-1", "::1", "1.2.3.4 ", "０.１.２.３"}) {
    const CliRun run = RunCliWith({fw, address});
    EXPECT_EQ(run.status, 2) << address;
    EXPECT_THAT(run.err, HasSubstr("is not a device address")) << address;
  }
}

TEST(BadOperatorInput, FileChangedDuringTheDownload_DeviceGetsTheFileAsItWasRead) {
  TempDir dir;
  SimulatedDevice device({"delay:30"});
  const auto path = dir.Write("fw.bin", PatternImage(3000, 1));
  std::thread editor([&] {
    // Once the device has been greeted, rewrite the file in place (bounded wait).
    for (int i = 0; i < 500 && device.simulator().framesReceived() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << PatternImage(5000, 2);
  });
  const CliRun run = RunCliWith({"--pacing", "fast", path.string(), device.address()});
  editor.join();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(device.LastImage(), PatternImage(3000, 1));
}

TEST(BadOperatorInput, UnreadableFile_IsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their permissions";
  TempDir dir;
  const auto path = dir.Write("fw.bin", "x");
  std::filesystem::permissions(path, std::filesystem::perms::none);
  const CliRun run = RunCliWith({path.string(), "127.0.0.1"});
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("文件读取失败！"));
}

}  // namespace
}  // namespace quento::testing
