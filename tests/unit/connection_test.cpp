// The connection: device addresses, the Connect button and the connected socket against real
// peers on loopback, and the event loop beside a window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "connection/address.h"
#include "connection/connection_manager.h"
#include "connection/resolver.h"
#include "support/loopback.h"
#include "support/recording_feedback.h"
#include "support/run_to_end.h"
#include "support/wire.h"
#include "window/window_loop.h"

namespace quento::connection {
namespace {

using namespace quento::testing;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using namespace std::chrono_literals;

class ConnectionTest : public ::testing::Test {
 protected:
  asio::io_context io;
  RecordingFeedback ui;
  std::int32_t connected = 0;
};

TEST_F(ConnectionTest, ConnectDisconnectAndReset_ShowEachStateAndTheDeviceSeesEachClose) {
  LoopbackListener device;
  ConnectionManager manager(ui, connected, {.port = device.port()});
  RunToEnd(io, manager.OnConnectClicked());
  TcpClient first(device);
  EXPECT_EQ(connected, 1);
  EXPECT_NE(manager.transport(), nullptr);
  RunToEnd(io, manager.OnConnectClicked());
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(first.ReadUntilClosed(), Bytes{});
  RunToEnd(io, manager.OnConnectClicked());
  TcpClient second(device);
  manager.ResetConnection();
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(second.ReadUntilClosed(), Bytes{});
  EXPECT_THAT(ui.events, ElementsAre("caption 断开连接", "enable 1004 on", "message 连接成功！",
                                     "enable 1004 off", "caption 连接", "message 断开连接成功！",
                                     "caption 断开连接", "enable 1004 on", "message 连接成功！",
                                     "status 请连接固件进行下载！", "pos 0", "enable 1004 off",
                                     "enable 1002 on", "enable 1005 on", "caption 连接"));
}

// Real time: the abandoned handshake would be retried by the system after about a second.
TEST_F(ConnectionTest, ConnectThatNeverCompletes_GivesUpAfterTheWaitAndClosesTheSocketAtOnce) {
  LoopbackListener device(0);
  auto filler = device.ConnectClient();  // fills the queue: the next handshake is dropped
  ConnectionManager manager(ui, connected, {.port = device.port(), .connectWait = 200ms});
  EXPECT_EQ(RunToEnd(io, manager.Connect()), op::Outcome::kConnectFailed);
  EXPECT_EQ(manager.lastFailure(), "connect: no answer within 200 ms");
  // With room in the queue again, a socket still trying would now get through.
  ASSERT_TRUE(device.AcceptWithin(1000ms));
  EXPECT_FALSE(device.AcceptWithin(2500ms)) << "the abandoned connect completed after all";
}

TEST(SocketLink, RealPeer_WholeFramesAndRepliesUntilTheTimeoutOrTheEndOfTheStream) {
  asio::io_context io;
  LoopbackListener device;
  ConnectResult connected = RunToEnd(io, ConnectDevice({0x7F000001, device.port()}));
  ASSERT_EQ(connected.outcome, op::Outcome::kSuccess) << connected.detail;
  SocketLink* link = connected.link.get();
  TcpClient peer(device);
  const auto Receive = [&](Bytes& reply, std::chrono::milliseconds timeout) {
    return RunToEnd(io, link->Receive(reply, timeout));
  };
  ASSERT_TRUE(RunToEnd(io, link->Send(Bytes(1032, 0x5A))));
  EXPECT_EQ(peer.Read(1032), Bytes(1032, 0x5A));
  // A reply in three segments: one already waiting, two arriving while the receive waits.
  const Bytes echo = Echo();
  peer.Send({echo.begin(), echo.begin() + 2});
  asio::steady_timer later(io, 20ms);
  later.async_wait([&](std::error_code) { peer.Send({echo.begin() + 2, echo.begin() + 4}); });
  asio::steady_timer last(io, 40ms);
  last.async_wait([&](std::error_code) { peer.Send({echo.begin() + 4, echo.end()}); });
  Bytes reply(6);
  EXPECT_EQ(Receive(reply, 5s), 6u);
  EXPECT_EQ(reply, Echo());
  peer.Send({1, 2, 3});
  EXPECT_EQ(Receive(reply, 100ms), 3u);
  EXPECT_EQ(link->FailureDetail(), "receive: no answer within 100 ms");
  // Junk left waiting is dropped; what comes after it is not.
  peer.Send({1, 2, 3, 4});
  reply.resize(1);
  ASSERT_EQ(Receive(reply, 5s), 1u);
  link->DiscardPending();
  peer.Send({0x12});
  ASSERT_EQ(Receive(reply, 5s), 1u);
  EXPECT_EQ(reply[0], 0x12);
  peer.Close();
  EXPECT_EQ(Receive(reply, 1000ms), 0u);
  // Nothing can follow the end of the stream: a later receive does not wait for its time-out.
  bool ended = false;
  asio::co_spawn(io, link->Receive(reply, 60s),
                 [&](std::exception_ptr, std::size_t) { ended = true; });
  io.restart();
  io.run_for(5s);
  EXPECT_TRUE(ended);
}

// A send that fails after a receive has timed out says why it failed, not the old time-out.
TEST(SocketLink, SendFailingAfterAReceiveTimedOut_SaysItsOwnReason) {
  asio::io_context io;
  LoopbackListener device;
  ConnectResult connected = RunToEnd(io, ConnectDevice({0x7F000001, device.port()}));
  TcpClient peer(device);
  Bytes reply(6);
  EXPECT_EQ(RunToEnd(io, connected.link->Receive(reply, 10ms)), 0u);
  peer.Close();  // the next send draws a reset, the one after fails
  for (int i = 0; i < 1000 && RunToEnd(io, connected.link->Send(Echo())); ++i) {
  }
  EXPECT_THAT(connected.link->FailureDetail(), ::testing::StartsWith("send: "));
  EXPECT_THAT(connected.link->FailureDetail(), ::testing::Not(::testing::HasSubstr("no answer")));
}

TEST(Address, FourDecimalOctetsParse_AnythingElseIsRefused) {
  EXPECT_EQ(ParseIpv4("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(FormatIpv4(0xC0A80114u), "192.168.1.20");
  EXPECT_EQ(ParseDevice("10.0.0.1")->port, 18810);
  EXPECT_EQ(ParseDevice("10.0.0.1:2000")->ToString(), "10.0.0.1:2000");
  // ParseDevice reads the address with ParseIpv4.
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "01.2.3.4", "1..2.3",
                          " 1.2.3.4", "1.2.3.4x", "0x7f.0.0.1", "0.0.0.0", "255.255.255.255",
                          "10.0.0.1:", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:x", ":80"}) {
    EXPECT_FALSE(ParseDevice(bad)) << bad;
  }
}

// Each DEVICE is summed up as "COUNT FIRST..LAST", or refused with its message.
TEST(Address, DevicesExpandToEveryAddressNamed_OneRangeOrNetworkWithAPort) {
  const char* const cases[][2] = {
      {"10.3.0.7", "1 10.3.0.7:18810..10.3.0.7:18810"},
      {"10.3.0.7:2000", "1 10.3.0.7:2000..10.3.0.7:2000"},
      {"10.3.0.7-10.3.0.7", "1 10.3.0.7:18810..10.3.0.7:18810"},
      {"10.0.0.250-10.0.1.5:2000", "12 10.0.0.250:2000..10.0.1.5:2000"},
      {"10.3.0.9/32", "1 10.3.0.9:18810..10.3.0.9:18810"},
      {"10.3.0.9/31", "2 10.3.0.8:18810..10.3.0.9:18810"},
      {"10.3.0.9/30", "2 10.3.0.9:18810..10.3.0.10:18810"},
      {"10.3.0.0/27:2000", "30 10.3.0.1:2000..10.3.0.30:2000"},
      {"10.3.7.7/16", "65534 10.3.0.1:18810..10.3.255.254:18810"},
      {"255.255.255.254/31", "1 255.255.255.254:18810..255.255.255.254:18810"},
      {"10.2.0.0/15", "'10.2.0.0/15' names 131070 addresses, more than 65536"},
      {"10.0.0.1-10.1.0.1", "'10.0.0.1-10.1.0.1' names 65537 addresses, more than 65536"},
      {"10.0.0.1/0", "'10.0.0.1/0' names 4294967294 addresses, more than 65536"},
      {"10.3.0.42-10.3.0.11", "'10.3.0.42-10.3.0.11' runs backwards"},
      {"10.3.0.1/33", "'10.3.0.1/33' is not a device address or range"},
      {"10.3.0.1/x", "'10.3.0.1/x' is not a device address or range"},
      {"10.3.0.0/27:0", "'10.3.0.0/27:0' is not a device address or range"},
      {"10.3.0.1-10.3.0.9/24", "'10.3.0.1-10.3.0.9/24' is not a device address or range"},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<DeviceAddress> out(1);  // appended to, and left alone on a refusal
    std::string got;
    const bool expanded = ExpandDevices(text, out, &got);
    if (expanded) {
      got = std::to_string(out.size() - 1) + ' ' + out[1].ToString() + ".." + out.back().ToString();
    }
    EXPECT_EQ(got, expected) << text;
    EXPECT_EQ(out.size() > 1, expanded) << text;
  }
}

// A host name is taken as given; a number in any form but the dotted quad is refused, saying why.
TEST(Address, HostNamesParse_NumbersInOtherFormsAreNeverNames) {
  const std::string number = " is a number but not a dotted-quad address";  // after the text
  const std::string cases[][2] = {
      {"line3-slot07", "line3-slot07 port 18810"},
      {"0x7f000001", number + " (write it as 127.0.0.1)"},
      {"0x7f.0.0.1:2000", number + " (write it as 127.0.0.1:2000)"},
      {"127.1", number + " (write it as 127.0.0.1)"},
      {"2130706433", number + " (write it as 127.0.0.1)"},
      {"017.0.0.1", number + " (write it as 15.0.0.1)"},
      {"0X", number + " (it stands for 0.0.0.0, which no device can have)"},
      {"1.2.3.256", "refused"},  // as the caller says: not an address at all
  };
  for (const auto& [text, expected] : cases) {
    std::string got = "refused";
    if (const auto target = ParseHostName(text, &got)) {
      got = target->host + " port " + std::to_string(target->address.port);
    }
    EXPECT_EQ(got, expected[0] == ' ' ? '\'' + text + '\'' + expected : expected);
  }
}

// Only `localhost`, which the hosts file answers, is looked up: no DNS server is asked.
TEST(Resolver, LocalhostResolves_ARaisedCancelAnswersAtOnce) {
  const std::atomic<bool> raised{true};
  const std::vector<std::pair<std::string, std::uint16_t>> hosts = {{"localhost", 2000}};
  EXPECT_EQ(ResolveAll(hosts, 10s, nullptr)[0].address, (DeviceAddress{0x7F000001, 2000}));
  asio::io_context io;
  EXPECT_EQ(RunToEnd(io, Resolve("localhost", 7, 10s, nullptr)).address,
            (DeviceAddress{0x7F000001, 7}));
  EXPECT_EQ(ResolveAll(hosts, 10s, &raised)[0].detail, "resolve: interrupted");
  EXPECT_EQ(RunToEnd(io, Resolve("localhost", 7, 10s, &raised)).detail, "resolve: interrupted");
}

// The window's event loop beside the download: nothing the window is sent after the work ends
// may be thrown away with the input that came during it.
// The window's queue: the pump throws away what waits in it, as it does input during work.
std::vector<int> g_queue;

// Waits `wait` on the event loop first (0: not at all), then queues a click as its last act.
asio::awaitable<void> WaitThenClick(std::chrono::milliseconds wait) {
  if (wait > 0ms) {
    asio::steady_timer timer(co_await asio::this_coro::executor, wait);
    co_await timer.async_wait(asio::use_awaitable);
  }
  g_queue.push_back(1);
}

TEST(RunBesideWindow, ClickQueuedAsTheTaskEnds_IsLeftForTheWindow) {
  asio::io_context io(1);
  for (const auto wait : {0ms, 1ms}) {
    SCOPED_TRACE(wait.count());
    int pumped = 0;
    window::RunBesideWindow(io, WaitThenClick(wait), [&] { ++pumped, g_queue.clear(); });
    EXPECT_EQ(g_queue.size(), 1u);
    EXPECT_GE(pumped, 1);
    g_queue.clear();
  }
}

}  // namespace
}  // namespace quento::connection
