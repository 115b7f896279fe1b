// The simulator on real loopback sockets: a client written here plays the tool.
#include "device/simulator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "image/firmware_image.h"
#include "protocol/frames.h"
#include "test_client.h"

namespace quento::device {
namespace {

using test::Plan;
using namespace std::chrono_literals;
using test::BlockRead;
using test::BlockWrite;
using test::Bytes;
using test::Client;
using test::Completion;
using test::Greeting;
using test::kAck;
using test::kEcho;
using test::kNak;

constexpr std::uint32_t kLoopback = 0x7F000001;

Bytes Image(std::size_t n, std::uint8_t seed) {
  Bytes image(n);
  for (std::size_t i = 0; i < n; ++i) image[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 7);
  return image;
}

// Plays a whole download of `image` as the tool does (masked), checking every reply.
void Download(const Endpoint& device, const Bytes& image) {
  Client client(device);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(Greeting()));
  ASSERT_EQ(client.Read(6), kEcho);
  Bytes masked = image;
  for (auto& b : masked) b ^= image::kMask;
  const auto layout = image::LayoutFor(static_cast<std::int32_t>(image.size()));
  for (int b = 0; b < layout.block_count; ++b) {
    const auto begin = masked.begin() + b * 1024;
    const Bytes block(begin, b + 1 == layout.block_count ? masked.end() : begin + 1024);
    ASSERT_TRUE(client.Send(BlockWrite(static_cast<unsigned>(b), block)));
    ASSERT_EQ(client.Read(6), kAck);
    ASSERT_TRUE(client.Send(BlockRead(static_cast<unsigned>(b), block.size())));
    const Bytes reply = client.Read(block.size() + 8);
    ASSERT_EQ(reply.size(), block.size() + 8);
    EXPECT_EQ(Bytes(reply.begin() + 7, reply.end() - 1), block);
    EXPECT_EQ(reply.back(), protocol::BlockChecksum(block));
  }
  ASSERT_TRUE(client.Send(Completion()));
}

// Waits (briefly) until the simulator has recorded `count` completions.
std::vector<CompletedImage> WaitCompleted(const Simulator& sim, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  auto done = sim.completed();
  while (done.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
    done = sim.completed();
  }
  return done;
}

struct Started {
  explicit Started(SimulatorOptions options) : sim(std::move(options)) {
    std::string error;
    ok = sim.Start(&error);
    EXPECT_TRUE(ok) << error;
  }
  Endpoint at(std::size_t i = 0) const { return sim.endpoints().at(i); }
  Simulator sim;
  bool ok = false;
};

SimulatorOptions Loopback(FaultPlan faults = {}) {
  SimulatorOptions options;
  options.listen = {"127.0.0.1:0"};
  options.faults = std::move(faults);
  return options;
}

TEST(Simulator, BindsAFreePortAndLogsIt) {
  std::vector<std::string> lines;
  SimulatorOptions options = Loopback();
  options.log = [&lines](std::string_view line) { lines.emplace_back(line); };
  Started s(std::move(options));
  ASSERT_EQ(s.sim.endpoints().size(), 1u);
  EXPECT_EQ(s.at().address, kLoopback);
  EXPECT_NE(s.at().port, 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "listening on " + s.at().ToString());
}

TEST(Simulator, DownloadIsRecordedUnmasked) {
  Started s(Loopback());
  const Bytes image = Image(2500, 9);
  Download(s.at(), image);
  const auto done = WaitCompleted(s.sim, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].image, image);
  EXPECT_EQ(done[0].device.port, s.at().port);
  EXPECT_TRUE(done[0].savedTo.empty());
  EXPECT_EQ(s.sim.framesReceived(), 1u + 3 * 2 + 1);
}

TEST(Simulator, EmptyImage) {
  Started s(Loopback());
  Download(s.at(), {});
  const auto done = WaitCompleted(s.sim, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].image.empty());
}

TEST(Simulator, SavesImagesWithoutOverwriting) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("quento-device-test-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::vector<std::string> lines;
  std::mutex linesMutex;
  SimulatorOptions options = Loopback();
  options.saveDir = dir;
  options.log = [&](std::string_view line) {
    std::lock_guard lock(linesMutex);
    lines.emplace_back(line);
  };
  Started s(std::move(options));
  const Bytes first = Image(3000, 1);
  const Bytes second = Image(10, 2);
  Download(s.at(), first);
  WaitCompleted(s.sim, 1);
  Download(s.at(), second);
  const auto done = WaitCompleted(s.sim, 2);
  ASSERT_EQ(done.size(), 2u);
  ASSERT_NE(done[0].savedTo, done[1].savedTo);
  const auto read = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(done[0].savedTo), first);
  EXPECT_EQ(read(done[1].savedTo), second);
  EXPECT_NE(done[0].savedTo.filename().string().find("127.0.0.1_" + std::to_string(s.at().port)),
            std::string::npos);
  {
    std::lock_guard lock(linesMutex);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("saved 3000 bytes from 127.0.0.1:", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" to " + done[0].savedTo.string()), std::string::npos) << lines[1];
  }
  s.sim.Stop();
  // A second simulator on the same directory does not overwrite the first one's files.
  SimulatorOptions again = Loopback();
  again.listen = {"127.0.0.1:" + std::to_string(s.at().port)};
  again.saveDir = dir;
  Started s2(std::move(again));
  Download(s2.at(), Image(5, 3));
  const auto done2 = WaitCompleted(s2.sim, 1);
  ASSERT_EQ(done2.size(), 1u);
  EXPECT_NE(done2[0].savedTo, done[0].savedTo);
  EXPECT_NE(done2[0].savedTo, done[1].savedTo);
  EXPECT_EQ(read(done[0].savedTo), first);
  std::filesystem::remove_all(dir);
}

TEST(Simulator, TwoAddressesAreTwoDevices) {
  SimulatorOptions options;
  options.listen = {"127.0.0.1:0", "127.0.0.2:0"};
  options.faultsByAddress[0x7F000002] = Plan({"junk:2"});
  Started s(std::move(options));
  ASSERT_EQ(s.sim.endpoints().size(), 2u);
  EXPECT_EQ(s.at(1).address, 0x7F000002u);

  // A block stored on one device is not seen by the other.
  Client a(s.at(0));
  Client b(s.at(1));
  ASSERT_TRUE(a.Send(BlockWrite(0, Bytes(4, 0x11))));
  EXPECT_EQ(a.Read(6), kAck);
  ASSERT_TRUE(b.Send(BlockRead(0, 4)));
  const Bytes fromB = b.Read(12 + 2);  // b's own faults: two junk bytes
  ASSERT_EQ(fromB.size(), 14u);
  EXPECT_EQ(Bytes(fromB.begin() + 7, fromB.begin() + 11), Bytes(4, 0xFF));
  ASSERT_TRUE(b.Send(Completion()));
  auto done = WaitCompleted(s.sim, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].device.address, 0x7F000002u);
  EXPECT_TRUE(done[0].image.empty());
  ASSERT_TRUE(a.Send(Completion()));
  done = WaitCompleted(s.sim, 2);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[1].device.address, kLoopback);
  EXPECT_EQ(done[1].image, Bytes(4, 0x11 ^ image::kMask));
}

TEST(Simulator, BlocksSurviveAReconnect) {
  Started s(Loopback());
  {
    Client c(s.at());
    ASSERT_TRUE(c.Send(BlockWrite(0, Bytes(3, 0x01))));
    EXPECT_EQ(c.Read(6), kAck);
  }
  Client c(s.at());
  ASSERT_TRUE(c.Send(Completion()));
  const auto done = WaitCompleted(s.sim, 1);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].image, Bytes(3, 0x01 ^ image::kMask));
}

TEST(Simulator, FleetRange) {
  SimulatorOptions options;
  options.listen = {"127.0.0.1-127.0.0.20:0"};
  Started s(std::move(options));
  const auto endpoints = s.sim.endpoints();
  ASSERT_EQ(endpoints.size(), 20u);
  EXPECT_EQ(endpoints.back().address, 0x7F000014u);
  Client c(endpoints.back());
  ASSERT_TRUE(c.Send(Greeting()));
  EXPECT_EQ(c.Read(6), kEcho);
}

TEST(Simulator, ManyConnectionsAtOnce) {
  Started s(Loopback());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(std::make_unique<Client>(s.at()));
    ASSERT_TRUE(clients.back()->Send(Greeting()));
  }
  for (auto& c : clients) EXPECT_EQ(c->Read(6), kEcho);
  EXPECT_EQ(s.sim.framesReceived(), 64u);
}

TEST(Simulator, BindFailureIsReported) {
  Started first(Loopback());
  SimulatorOptions options;
  options.listen = {first.at().ToString()};
  Simulator second(std::move(options));
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot bind " + first.at().ToString()), std::string::npos) << error;
  EXPECT_TRUE(second.endpoints().empty());
}

TEST(Simulator, BadListenSpecIsReported) {
  SimulatorOptions options;
  options.listen = {"nonsense"};
  Simulator sim(std::move(options));
  std::string error;
  EXPECT_FALSE(sim.Start(&error));
  EXPECT_FALSE(error.empty());
}

TEST(Simulator, GarbageAndBadFramesOverTheWire) {
  Started s(Loopback());
  Client c(s.at());
  Bytes bad = BlockWrite(0, Bytes(8, 0x42));
  bad.back() ^= 1;
  ASSERT_TRUE(c.Send(test::Concat({Bytes{0x00, 0x12, 0x34, 0xFF}, bad})));
  EXPECT_EQ(c.Read(6), kNak);
  // An oversize length: refused, then the next preamble is found again.
  ASSERT_TRUE(c.Send(test::Concat(
      {Bytes{0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0x00}, Bytes(5000, 0x00), Greeting()})));
  EXPECT_EQ(c.Read(12), test::Concat({kNak, kEcho}));
}

TEST(SimulatorFaults, IgnoreGreetingCountsAcrossConnections) {
  Started s(Loopback(Plan({"ignore-greeting:1"})));
  {
    Client c(s.at());
    ASSERT_TRUE(c.Send(Greeting()));
    EXPECT_TRUE(c.Read(6, 50ms).empty());
  }
  Client c(s.at());
  ASSERT_TRUE(c.Send(Greeting()));
  EXPECT_EQ(c.Read(6), kEcho);
}

TEST(SimulatorFaults, Delay) {
  Started s(Loopback(Plan({"delay:20"})));
  Client c(s.at());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.Send(Greeting()));
  EXPECT_EQ(c.Read(6), kEcho);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

TEST(SimulatorFaults, SplitSendsTwoSegments) {
  Started s(Loopback(Plan({"split:30"})));
  Client c(s.at());
  ASSERT_TRUE(c.Send(Greeting()));
  const auto start = std::chrono::steady_clock::now();
  const Bytes first = c.ReadSome();
  EXPECT_EQ(first, Bytes(kEcho.begin(), kEcho.begin() + 3));
  const Bytes second = c.Read(3);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  EXPECT_EQ(second, Bytes(kEcho.begin() + 3, kEcho.end()));
}

TEST(SimulatorFaults, CloseAfterAnswersThenClosesOnce) {
  Started s(Loopback(Plan({"close-after:2"})));
  {
    Client c(s.at());
    ASSERT_TRUE(c.Send(Greeting()));
    EXPECT_EQ(c.Read(6), kEcho);
    ASSERT_TRUE(c.Send(Greeting()));
    EXPECT_EQ(c.Read(6), kEcho);
    EXPECT_TRUE(c.ClosedWithin(1s));
  }
  Client c(s.at());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.Send(Greeting()));
    EXPECT_EQ(c.Read(6), kEcho);
  }
}

TEST(SimulatorFaults, PerAddressFaultsReplaceTheCommonOnes) {
  SimulatorOptions options;
  options.listen = {"127.0.0.1:0", "127.0.0.3:0"};
  options.faults = Plan({"silent"});
  options.faultsByAddress[0x7F000003] = FaultPlan{};
  Started s(std::move(options));
  Client quiet(s.at(0));
  Client healthy(s.at(1));
  ASSERT_TRUE(quiet.Send(Greeting()));
  ASSERT_TRUE(healthy.Send(Greeting()));
  EXPECT_EQ(healthy.Read(6), kEcho);
  EXPECT_TRUE(quiet.Read(6, 30ms).empty());
}

TEST(SimulatorStop, ReturnsPromptlyWithConnectionsOpen) {
  auto s = std::make_unique<Started>(Loopback(Plan({"delay:10000"})));
  Client idle(s->at());
  Client waiting(s->at());
  ASSERT_TRUE(waiting.Send(Greeting()));  // its reply is held back 10 s
  // A client that sends and never reads.
  Client flooding(s->at());
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  s->sim.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(idle.ClosedWithin(1s));
  EXPECT_TRUE(waiting.ClosedWithin(1s));
  s->sim.Stop();  // idempotent
  s.reset();
}

TEST(SimulatorStop, UnblocksASendToAPeerThatDoesNotRead) {
  Started s(Loopback());
  Client c(s.at());
  // Read requests far faster than replies are read: the device's send blocks.
  Bytes requests;
  for (int i = 0; i < 20000; ++i) {
    const Bytes r = BlockRead(0, 1024);
    requests.insert(requests.end(), r.begin(), r.end());
  }
  std::thread writer([&] { c.Send(requests); });
  std::this_thread::sleep_for(50ms);
  const auto start = std::chrono::steady_clock::now();
  s.sim.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  writer.join();
}

TEST(SimulatorStop, StopWithoutStart) {
  Simulator sim(Loopback());
  sim.Stop();
  EXPECT_TRUE(sim.endpoints().empty());
}

}  // namespace
}  // namespace quento::device
