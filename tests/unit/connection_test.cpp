#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "connection/connection_manager.h"
#include "support/loopback_listener.h"
#include "support/recording_feedback.h"
#include "support/run_to_end.h"

namespace quento::connection {
namespace {

using quento::testing::LoopbackListener;
using quento::testing::RunToEnd;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using namespace std::chrono_literals;

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionManager Make(std::uint16_t port, std::chrono::milliseconds wait = 3000ms) {
    return ConnectionManager(ui, connected, {.port = port, .connectWait = wait});
  }
  Outcome Connect(ConnectionManager& manager) { return RunToEnd(io, manager.Connect()); }
  void Click(ConnectionManager& manager) {
    RunToEnd(io, [&]() -> asio::awaitable<int> {
      co_await manager.OnConnectClicked();
      co_return 0;
    }());
  }

  asio::io_context io;
  quento::testing::RecordingFeedback ui;
  std::int32_t connected = 0;
};

TEST_F(ConnectionTest, Connect_ReachesTheTypedAddressAndShowsTheConnectedState) {
  LoopbackListener device;
  auto manager = Make(device.port());
  EXPECT_EQ(Connect(manager), Outcome::kSuccess);
  EXPECT_TRUE(device.Accept().is_open());
  EXPECT_THAT(ui.events, ElementsAre("caption 断开连接", "enable 1004 on", "message 连接成功！"));
  EXPECT_EQ(connected, 1);
  EXPECT_NE(manager.transport(), nullptr);
}

TEST_F(ConnectionTest, AddressThatCannotBeReached_FailsWithTheSystemsWordsAndStaysDisconnected) {
  LoopbackListener closed;
  const std::uint16_t port = closed.port();
  closed.Close();
  struct Case {
    const char* address;
    const char* detail;
  };
  const Case cases[] = {{"127.0.0.1", "connect: "},      {"", "'' is not"},
                        {"0.0.0.0", "'0.0.0.0' is not"}, {"1.2.3", "'1.2.3' is not"},
                        {"1.2.3.256", "'1.2.3.256'"},    {"1.2.3.4 ", "'1.2.3.4 '"}};
  auto manager = Make(port);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    ui = {};
    ui.address = c.address;
    EXPECT_EQ(Connect(manager), Outcome::kConnectFailed);
    EXPECT_THAT(manager.lastFailure(), StartsWith(c.detail));
    EXPECT_THAT(ui.events, ElementsAre("message 连接失败，请确认IP地址和端口号是否正确！"));
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(manager.transport(), nullptr);
  }
}

// Real time: the abandoned handshake would be retried by the system after about a second.
TEST_F(ConnectionTest, ConnectThatNeverCompletes_GivesUpAfterTheWaitAndClosesTheSocketAtOnce) {
  LoopbackListener device(0);
  auto filler = device.ConnectClient();  // fills the queue: the next handshake is dropped
  auto manager = Make(device.port(), 200ms);
  EXPECT_EQ(Connect(manager), Outcome::kConnectFailed);
  EXPECT_EQ(manager.lastFailure(), "connect: no answer within 200 ms");
  EXPECT_THAT(ui.messages, ElementsAre("连接失败，请确认IP地址和端口号是否正确！"));
  // With room in the queue again, a socket still trying would now get through.
  ASSERT_TRUE(device.AcceptWithin(1000ms));
  EXPECT_FALSE(device.AcceptWithin(2500ms)) << "the abandoned connect completed after all";
}

TEST_F(ConnectionTest, Disconnect_ClosesAndReportsInOrder) {
  LoopbackListener device;
  auto manager = Make(device.port());
  Click(manager);
  auto peer = device.Accept();
  ui.events.clear();
  Click(manager);
  EXPECT_THAT(ui.events, ElementsAre("enable 1004 off", "caption 连接", "message 断开连接成功！"));
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(manager.transport(), nullptr);
  EXPECT_TRUE(quento::testing::ReadExactly(peer, 1).empty());  // the device sees the close
}

TEST_F(ConnectionTest, DisconnectWithoutSocket_DoesNothing) {
  auto manager = Make(1);
  manager.Disconnect();
  EXPECT_TRUE(ui.events.empty());
}

TEST_F(ConnectionTest, ResetConnection_ReturnsToDisconnectedFromAnyState) {
  LoopbackListener device;
  auto manager = Make(device.port());
  Connect(manager);
  auto peer = device.Accept();
  ui.events.clear();
  EXPECT_EQ(manager.ResetConnection(), 0);
  EXPECT_THAT(ui.events, ElementsAre("status 请连接固件进行下载！", "pos 0", "enable 1004 off",
                                     "enable 1002 on", "enable 1005 on", "caption 连接"));
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(quento::testing::ReadExactly(peer, 1).empty());
}

}  // namespace
}  // namespace quento::connection
