// The simulator on real loopback sockets, started in-process on free ports; the tests play the
// tool through a plain TCP client.
#include "device/simulator.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <thread>

#include "device_test.h"
#include "image/firmware_image.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"

namespace quento::device {
namespace {

using namespace test;
using quento::testing::TcpClient;
using namespace std::chrono_literals;

// Polls `done` (a completion has no reply to wait for); false when it never holds.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(1ms);
  return done();
}

struct Running {
  explicit Running(SimulatorOptions options) : sim(std::move(options)) {
    std::string error;
    EXPECT_TRUE(sim.Start(&error)) << error;
  }
  Endpoint at(std::size_t i = 0) const { return sim.endpoints().at(i); }
  Simulator sim;
};

// A whole download of `image` as the tool plays it, every reply checked.
void Download(const Endpoint& device, const Bytes& image) {
  TcpClient client(device.address, device.port);
  ASSERT_TRUE(client.Send(Greeting()));
  ASSERT_EQ(client.Read(6), Echo());
  for (std::size_t at = 0; at < image.size(); at += image::kBlockSize) {
    const auto end = image.begin() + static_cast<long>(std::min(image.size(), at + 1024));
    Bytes block(image.begin() + static_cast<long>(at), end);
    for (auto& b : block) b ^= image::kMask;
    const auto index = static_cast<unsigned>(at / image::kBlockSize);
    ASSERT_TRUE(client.Send(BlockWrite(index, block)));
    ASSERT_EQ(client.Read(6), Ack());
    ASSERT_TRUE(client.Send(BlockRead(index, block.size())));
    ASSERT_EQ(client.Read(block.size() + 8), ReadReply(index, block));
  }
  ASSERT_TRUE(client.Send(Completion()));
}

class DownloadUnderTimingFault : public ::testing::TestWithParam<const char*> {};

TEST_P(DownloadUnderTimingFault, StoresExactlyTheImage_NeverOverwritesAFile) {
  quento::testing::TempDir dir;
  Running s({.listen = {"127.0.0.1:0"}, .saveDir = dir.path(), .faults = Plan({GetParam()})});
  const std::string stem = "127.0.0.1_" + std::to_string(s.at().port);
  dir.Write(stem + "-0001.bin", "an earlier run's");
  const Bytes image = Pattern(2500);
  Download(s.at(), image);
  ASSERT_TRUE(Eventually([&] { return !s.sim.completed().empty(); }));
  const CompletedImage done = s.sim.completed().at(0);
  EXPECT_EQ(done.image, image);
  EXPECT_EQ(done.savedTo, dir.path() / (stem + "-0002.bin"));
  EXPECT_EQ(dir.Read(stem + "-0002.bin"), std::string(image.begin(), image.end()));
  EXPECT_EQ(dir.Read(stem + "-0001.bin"), "an earlier run's");
  EXPECT_EQ(s.sim.framesReceived(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Faults, DownloadUnderTimingFault,
                         ::testing::Values("junk:0", "delay:2", "split:2"));

// Up to 256 addresses on a port get a listener each; past that one listener serves them all.
// Either way each address is a device of its own: its blocks, its faults, across connections.
TEST(Simulator, Fleet_EachAddressIsItsOwnDevice_AnUnlistedOneIsNotServed) {
  const struct {
    const char* listen;
    std::uint32_t count;
    bool shared;
  } cases[] = {{"127.1.0.1-127.1.1.0:0", 256, false}, {"127.1.0.1-127.1.3.232:0", 1000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listen);
    const std::uint32_t first = 0x7F010001;
    const std::uint32_t middle = first + c.count / 2;
    const std::uint32_t last = first + c.count - 1;
    // The common faults, replaced for three of them.
    Running s({.listen = {c.listen},
               .faults = Plan({"silent", "close-after:2"}),
               .faultsByAddress = {{first, {}}, {middle, {}}, {last, {}}}});
    const auto endpoints = s.sim.endpoints();
    ASSERT_EQ(endpoints.size(), c.count);
    ASSERT_EQ(endpoints.back().address, last);
    std::set<std::uint16_t> ports;
    for (const auto& e : endpoints) ports.insert(e.port);
    EXPECT_EQ(ports.size() == 1, c.shared);  // a free port each may repeat, never all of them
    EXPECT_EQ(ports.count(0), 0u);
    const auto connect = [&](std::uint32_t address) {
      return std::make_unique<TcpClient>(address, endpoints[address - first].port);
    };

    auto client = connect(first);
    ASSERT_TRUE(client->Send(Concat({Greeting(), BlockWrite(0, Bytes(4, 0x11))})));
    EXPECT_EQ(client->Read(12), Concat({Echo(), Ack()}));
    client = connect(first + 1);
    ASSERT_TRUE(client->Send(Concat({Greeting(), Completion()})));
    EXPECT_EQ(client->ReadUntilClosed(), Bytes{});  // silent, then closed after two frames
    auto other = connect(middle);
    client = connect(last);
    ASSERT_TRUE(other->Send(Greeting()) && client->Send(Greeting()));
    EXPECT_EQ(other->Read(6), Echo());
    EXPECT_EQ(client->Read(6), Echo());
    client = connect(first);  // its block is still there
    ASSERT_TRUE(client->Send(Completion()));
    ASSERT_TRUE(Eventually([&] { return s.sim.completed().size() == 2; }));
    const auto done = s.sim.completed();
    EXPECT_EQ(done[0].device.address, first + 1);
    EXPECT_EQ(done[0].image, Bytes{});
    EXPECT_EQ(done[1].device.address, first);
    EXPECT_EQ(done[1].image, Bytes(4, 0x11 ^ image::kMask));

    TcpClient stranger(last + 1, endpoints.back().port);
    EXPECT_EQ(stranger.connected(), c.shared);
    if (stranger.connected()) {
      EXPECT_EQ(stranger.ReadUntilClosed(), Bytes{});
    }
  }
}

TEST(SimulatorStop, HeldReplyAndIdleConnection_StopReturnsAndClosesBoth) {
  const Bytes echo = Echo();
  const struct {
    const char* fault;
    Bytes before;  // what arrives before the hold
  } cases[] = {{"delay:600000", {}}, {"split:600000", Bytes(echo.begin(), echo.begin() + 3)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Running s({.listen = {"127.0.0.1:0"}, .faults = Plan({c.fault})});
    TcpClient idle(s.at().address, s.at().port);
    TcpClient waiting(s.at().address, s.at().port);
    ASSERT_TRUE(waiting.Send(Greeting()));
    EXPECT_EQ(waiting.Read(c.before.size()), c.before);
    ASSERT_TRUE(Eventually([&] { return s.sim.framesReceived() == 1; }));
    s.sim.Stop();
    s.sim.Stop();
    EXPECT_EQ(idle.ReadUntilClosed(), Bytes{});
    EXPECT_EQ(waiting.ReadUntilClosed(), Bytes{});
  }
}

}  // namespace
}  // namespace quento::device
