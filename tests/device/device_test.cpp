// quento-device: the fault grammar and one device's answers without sockets, the simulator on real
// loopback sockets (free ports, played through a plain TCP client), and the program as a child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>

#include "device/device_state.h"
#include "image/firmware_image.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/simulated_devices.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "support/wire.h"

namespace quento::device {
namespace {

using namespace quento::testing;
using namespace std::chrono_literals;

// A fault plan from fault texts; a text that does not parse fails the test.
FaultPlan Plan(const std::vector<const char*>& faults) {
  FaultPlan plan;
  for (const char* text : faults) EXPECT_TRUE(AddFault(text, plan, nullptr)) << text;
  return plan;
}

Bytes Masked(Bytes data) {
  image::ApplyMask(data);
  return data;
}

Bytes Flipped(Bytes data, std::size_t at) {
  data[at] ^= 0xFF;
  return data;
}

TEST(AddFault, GoodTextsAccepted_BadOnesRefusedWithAReason) {
  Plan({"silent", "ignore-greeting", "ignore-greeting:3", "drop-ack:4", "drop-ack:5:always",
        "wrong-ack:6:2", "corrupt-read:7", "corrupt-read:8:0", "wrong-read-index:2", "delay:20",
        "split:15", "junk:9", "close-after:3", "trailing:2", "wedge-after-drop",
        "keep-first-write"});
  for (const char* bad : {"",
                          "loud",
                          "silent:1",
                          "drop-ack",
                          "drop-ack:256",
                          "drop-ack:1:x",
                          "drop-ack:1:2:3",
                          "delay",
                          "delay:-1",
                          "delay:abc",
                          "delay:99999999999999",
                          "split:",
                          "junk:1:2",
                          "corrupt-read:1:1024",
                          "close-after",
                          "trailing",
                          "keep-first-write:1",
                          "ignore-greeting:-2",
                          "wrong-ack:+1",
                          " silent"}) {
    FaultPlan plan;
    std::string error;
    EXPECT_FALSE(AddFault(bad, plan, &error)) << bad;
    EXPECT_NE(error, "") << bad;
  }
  // What the answers below cannot show: the timings, and the counts left out.
  EXPECT_EQ(Plan({"delay:20"}).delay, 20ms);
  EXPECT_EQ(Plan({"split:15"}).splitGap, 15ms);
  EXPECT_EQ(Plan({"ignore-greeting"}).ignoreGreetings, 1);
  EXPECT_EQ(Plan({"drop-ack:4"}).dropAck.at(4), 1);
}

// One frame and what the device does about it, on the first connection or on a second one. No
// frame stands for a new connection, which the device refuses by closing it.
struct Step {
  Bytes frame;
  Response expected;
  int connection = 0;
};
Step Answers(Bytes frame, Bytes reply, bool close = false, int connection = 0) {
  return {frame, {reply, close, {}}, connection};
}
Step Completes(Bytes unmasked) { return {Completion(), {{}, false, unmasked}}; }

TEST(DeviceState, EachFaultChangesTheAnswersAsDescribed) {
  const Bytes d = Pattern(20), d6 = Flipped(d, 6), g = Greeting(), echo = Echo(), none;
  const Bytes badSum = Flipped(BlockWrite(0, d), BlockWrite(0, d).size() - 1);
  const Bytes badLength = Flipped(BlockWrite(0, Bytes(1)), 4);    // 00 01 becomes FF 01
  const Bytes block0 = Pattern(1024, 5), block1 = Pattern(6, 7);  // masked, as written
  const struct {
    std::vector<const char*> faults;
    std::vector<Step> steps;
  } cases[] = {
      // Unwritten bytes read as FF. Blocks from 0 up to a gap make the image; a greeting or a
      // completion forgets them.
      {{},
       {Answers(g, echo), Answers(BlockWrite(0, d), Ack()),
        Answers(BlockRead(0, 20), ReadReply(0, d)),
        Answers(BlockRead(0, 24), ReadReply(0, Concat({d, Bytes(4, 0xFF)}))),
        Answers(BlockRead(9, 3), ReadReply(9, Bytes(3, 0xFF))), Answers(badSum, Refusal()),
        Answers(badLength, Refusal()), Answers(BlockRead(0, 0), Refusal(protocol::kCmdRead)),
        Answers(BlockWrite(0, block0), Ack()), Answers(BlockWrite(1, block1), Ack()),
        Answers(BlockWrite(3, d), Ack()), Completes(Masked(Concat({block0, block1}))),
        Answers(BlockWrite(0, d), Ack()), Answers(g, echo), Answers(BlockWrite(1, d), Ack()),
        Completes(none)}},
      // A completion makes an image only after its connection greeted, then wrote.
      {{},
       {Answers(BlockWrite(0, d), Ack()), Answers(Completion(), none), Answers(g, echo),
        Answers(Completion(), none)}},
      // ... and no other connection has greeted or completed since its greeting.
      {{},
       {Answers(g, echo, false, 1), Answers(BlockWrite(0, d), Ack(), false, 1), Answers(g, echo),
        Answers(BlockWrite(0, block1), Ack()), Completes(Masked(block1)),
        Answers(Completion(), none, false, 1), Answers(g, echo),
        Answers(BlockWrite(0, block1), Ack()), Answers(g, echo, false, 1),
        Answers(Completion(), none)}},
      {{"ignore-greeting:2"}, {Answers(g, none), Answers(g, none), Answers(g, echo)}},
      {{"drop-ack:1:2"},
       {Answers(BlockWrite(1, d), none), Answers(BlockWrite(1, d), none),
        Answers(BlockRead(1, 20), ReadReply(1, d)), Answers(BlockWrite(1, d), Ack())}},
      {{"wrong-ack:2:always"},
       {Answers(BlockWrite(2, d), Refusal()), Answers(BlockWrite(2, d), Refusal())}},
      {{"corrupt-read:0", "corrupt-read:1:100"},
       {Answers(BlockWrite(0, d), Ack()), Answers(BlockRead(0, 20), ReadReply(0, d6)),
        Answers(BlockRead(0, 20), ReadReply(0, d6)), Answers(BlockWrite(1, d), Ack()),
        Answers(BlockRead(1, 20), ReadReply(1, Flipped(d, 19)))}},
      {{"wrong-read-index:1"},
       {Answers(BlockWrite(255, d), Ack()), Answers(BlockRead(255, 20), ReadReply(0, d)),
        Answers(BlockRead(255, 20), ReadReply(255, d))}},
      {{"junk:5"}, {Answers(g, Concat({echo, Bytes(5, 0xEE)}))}},
      {{"trailing:3"},
       {Answers(g, echo), Answers(BlockWrite(0, d), Ack()),
        Answers(BlockRead(0, 20), Concat({ReadReply(0, d), Bytes(3, 0)}))}},
      {{"keep-first-write"},
       {Answers(BlockWrite(0, d), Ack()), Answers(BlockWrite(0, d6), Ack()),
        Answers(BlockRead(0, 20), ReadReply(0, d))}},
      {{"silent"},
       {Answers(g, none), Answers(BlockWrite(0, d), none), Answers(BlockRead(0, 20), none)}},
      {{"close-after:2"},
       {Answers({}, {}), Answers(g, echo), Answers(g, echo, true), Answers(g, echo)}},
      {{"close-after:0"}, {Answers({}, {}, true), Answers({}, {})}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults.empty() ? "no fault" : c.faults[0]);
    DeviceState device({0x7F000001, 18810}, Plan(c.faults));
    DeviceState::Connection connections[2];
    for (const Step& step : c.steps) {
      SCOPED_TRACE(&step - c.steps.data());
      DeviceState::Connection& connection = connections[step.connection];
      if (step.frame.empty()) connection = {};
      const Response r = step.frame.empty()
                             ? Response{{}, !device.OnConnect(), std::nullopt}
                             : device.Handle(FrameParser().Feed(step.frame).at(0), connection);
      const Response& e = step.expected;
      EXPECT_EQ(std::tie(r.reply, r.close, r.completedImage),
                std::tie(e.reply, e.close, e.completedImage));
    }
  }
}

// Past 256 addresses one listener serves them all, yet each address is a device of its own: its
// blocks and its faults, across connections. Stopping closes every connection, also those with
// an idle device or a reply held back.
TEST(Simulator, ThousandAddressesOnOneListener_EachItsOwnDevice_StopClosesEveryConnection) {
  const std::uint32_t first = 0x7F010001, last = first + 999;
  const Bytes echo = Echo();
  // The common faults, replaced for four of them.
  SimulatedDevices devices({.listen = {"127.1.0.1-127.1.3.232:0"},
                            .faults = Plan({"silent", "close-after:2"}),
                            .faultsByAddress = {{first, {}},
                                                {last, {}},
                                                {first + 2, Plan({"delay:600000"})},
                                                {first + 3, Plan({"split:600000"})}}});
  ASSERT_EQ(devices.at.size(), 1000u);
  const std::uint16_t port = devices.simulator->endpoints()[0].port;  // every address's

  TcpClient keeper(first, port);
  ASSERT_TRUE(keeper.Send(Concat({Greeting(), BlockWrite(0, Bytes(4, 0x11))})));
  EXPECT_EQ(keeper.Read(12), Concat({Echo(), Ack()}));
  TcpClient faulty(first + 1, port);
  ASSERT_TRUE(faulty.Send(Concat({Greeting(), Completion()})));
  EXPECT_EQ(faulty.ReadUntilClosed(), Bytes{});  // silent, then closed after two frames
  TcpClient lastOne(last, port);
  ASSERT_TRUE(lastOne.Send(Greeting()));
  EXPECT_EQ(lastOne.Read(6), Echo());
  // Its block is still there for another connection; stray completions neither take it nor
  // make an image, nor does the silent device's greeting without a block.
  TcpClient again(first, port);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(again.Send(Completion()));
  ASSERT_TRUE(again.Send(BlockRead(0, 4)));
  EXPECT_EQ(again.Read(12), ReadReply(0, Bytes(4, 0x11)));
  ASSERT_TRUE(keeper.Send(Completion()));
  const std::string kept(4, static_cast<char>(0x11 ^ image::kMask));  // as the operator's file
  EXPECT_EQ(devices.ImagesOnceCompleted(1),
            (std::map<std::string, std::string>{{devices.at[0], kept}}));
  TcpClient stranger(last + 1, port);
  ASSERT_TRUE(stranger.connected());
  EXPECT_EQ(stranger.ReadUntilClosed(), Bytes{});

  TcpClient idle(first + 2, port), held(first + 2, port), halved(first + 3, port);
  const std::size_t frames = devices.simulator->framesReceived();
  ASSERT_TRUE(held.Send(Greeting()) && halved.Send(Greeting()));
  EXPECT_EQ(halved.Read(3), Bytes(echo.begin(), echo.begin() + 3));  // then the gap
  WaitUntil([&] { return devices.simulator->framesReceived() >= frames + 2; }, 5s);
  devices.simulator->Stop();
  devices.simulator->Stop();
  for (TcpClient* client : {&idle, &held, &halved}) EXPECT_EQ(client->ReadUntilClosed(), Bytes{});
}

// As the program runs it: no image is kept in memory, and a save cut short (at the file size
// limit here, as on a full disk) leaves no file.
TEST(Simulator, KeepsNoImageInMemory_ASaveCutShortLeavesNoFile) {
  TempDir dir;
  Simulator simulator({.listen = {"127.0.0.1:0"}, .saveDir = dir.path()});
  ASSERT_TRUE(simulator.Start(nullptr));
  TcpClient client(0x7F000001, simulator.endpoints()[0].port);
  ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the process
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{999, limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  // The echo of the greeting after each completion says that it was dealt with.
  EXPECT_TRUE(client.Send(Concat({Greeting(), BlockWrite(0, Pattern(999)), Completion(), Greeting(),
                                  BlockWrite(0, Pattern(1000)), Completion(), Greeting()})));
  EXPECT_EQ(client.Read(30), Concat({Echo(), Ack(), Echo(), Ack(), Echo()}));
  ::setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(simulator.completed().size(), 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// The exit status of the program run with `args`.
std::optional<int> ExitStatus(std::vector<std::string> args) {
  args.insert(args.begin(), QUENTO_DEVICE_BIN);
  ChildProcess program(args);
  return program.Finish(10s) ? program.status() : std::nullopt;
}

// Replies held back and cut in two still carry the exact bytes, and an image is saved under the
// next free number, never over an earlier file; a stray completion saves nothing.
TEST(QuentoDevice, ServesEachAddressWithItsFaults_SavesBesideEarlierImages_ExitsZeroOnSigterm) {
  TempDir dir;
  ChildProcess program({QUENTO_DEVICE_BIN, "--listen", "127.0.0.1-127.0.0.2:0", "--save",
                        dir.path().string(), "--fault", "127.0.0.1/delay:2", "--fault",
                        "127.0.0.1/split:2", "--fault", "127.0.0.2/silent", "--fault",
                        "127.0.0.2/close-after:1"});
  unsigned ports[3] = {};
  for (int i = 0; i < 2; ++i) {
    const std::string line = program.ReadLine(10s).value_or("");
    unsigned host = 0, port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "listening on 127.0.0.%u:%u", &host, &port), 2) << line;
    ports[host % 3] = port;
  }
  TcpClient silent(0x7F000002, ports[2]);
  ASSERT_TRUE(silent.Send(Greeting()));
  EXPECT_EQ(silent.ReadUntilClosed(), Bytes{});
  EXPECT_NE(program.ReadLine(10s).value_or("").find("(close-after fault)"), std::string::npos);

  const std::string stem = "127.0.0.1_" + std::to_string(ports[1]);
  dir.Write(stem + "-0001.bin", "an earlier run's");
  const Bytes image = Pattern(1000), block = Masked(image);
  TcpClient client(0x7F000001, ports[1]);
  ASSERT_TRUE(client.Send(Concat(
      {Completion(), Greeting(), BlockWrite(0, block), BlockRead(0, block.size()), Completion()})));
  // None for the stray completion; an echo, an acknowledgement, and the block in an 8-byte frame.
  EXPECT_EQ(client.Read(1020), Concat({Echo(), Ack(), ReadReply(0, block)}));
  const std::string saved = program.ReadLine(10s).value_or("");
  EXPECT_TRUE(saved.starts_with("saved 1000 bytes from 127.0.0.1:") &&
              saved.ends_with(" to " + (dir.path() / (stem + "-0002.bin")).string()))
      << saved;
  EXPECT_NE(saved.find("sha256 7ebe2a4f850c37cefbfd0a2c14d0135d8f95c3e070e14f5fa47c42ed85123627,"),
            std::string::npos);
  EXPECT_EQ(dir.Read(stem + "-0002.bin"), std::string(image.begin(), image.end()));
  EXPECT_EQ(dir.Read(stem + "-0001.bin"), "an earlier run's");
  EXPECT_EQ(ExitStatus({"--listen", "127.0.0.1:" + std::to_string(ports[1])}), 1) << "bound twice";
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.Finish(10s).has_value());
  EXPECT_EQ(program.status(), 0);
}

TEST(QuentoDevice, BadCommandLine_ExitsTwo) {
  for (const char* bad :
       {"--fault=explode", "--fault=127.0.0.5/explode", "--fault=300.0.0.1/silent",
        "--listen=127.0.0.1:99999", "--listen=127.0.0.5-127.0.0.1",
        "--listen=127.0.0.0-127.1.0.0:1", "--no-such-option"})
    EXPECT_EQ(ExitStatus({bad}), 2) << bad;
}

TEST(QuentoDevice, AddressListedTwice_ExitsOne) {
  EXPECT_EQ(ExitStatus({"--listen", "127.3.0.1-127.3.1.44:0", "--listen", "127.3.0.1:0"}), 1);
}

TEST(QuentoDevice, Version_ExitsZero) { EXPECT_EQ(ExitStatus({"--version"}), 0); }

}  // namespace
}  // namespace quento::device
