// The Connect button against real sockets on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "connection/connection_manager.h"
#include "support/loopback_listener.h"
#include "support/recording_feedback.h"
#include "support/run_to_end.h"

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
  auto first = device.Accept();
  EXPECT_EQ(connected, 1);
  EXPECT_NE(manager.transport(), nullptr);
  RunToEnd(io, manager.OnConnectClicked());
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(ReadExactly(first, 1).empty());
  RunToEnd(io, manager.OnConnectClicked());
  auto second = device.Accept();
  EXPECT_EQ(manager.ResetConnection(), 0);
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(ReadExactly(second, 1).empty());
  EXPECT_THAT(ui.events, ElementsAre("caption 断开连接", "enable 1004 on", "message 连接成功！",
                                     "enable 1004 off", "caption 连接", "message 断开连接成功！",
                                     "caption 断开连接", "enable 1004 on", "message 连接成功！",
                                     "status 请连接固件进行下载！", "pos 0", "enable 1004 off",
                                     "enable 1002 on", "enable 1005 on", "caption 连接"));
}

TEST_F(ConnectionTest, AddressThatCannotBeReached_FailsWithTheReasonAndStaysDisconnected) {
  LoopbackListener closed;
  ConnectionManager manager(ui, connected, {.port = closed.port()});
  closed.Close();
  const std::pair<const char*, const char*> cases[] = {{"127.0.0.1", "connect: "},
                                                       {"1.2.3.256", "'1.2.3.256' is not"}};
  for (const auto& [address, detail] : cases) {
    ui = {};
    ui.address = address;
    EXPECT_EQ(RunToEnd(io, manager.Connect()), Outcome::kConnectFailed);
    EXPECT_THAT(manager.lastFailure(), StartsWith(detail));
    EXPECT_THAT(ui.events, ElementsAre("message 连接失败，请确认IP地址和端口号是否正确！"));
  }
}

// Real time: the abandoned handshake would be retried by the system after about a second.
TEST_F(ConnectionTest, ConnectThatNeverCompletes_GivesUpAfterTheWaitAndClosesTheSocketAtOnce) {
  LoopbackListener device(0);
  auto filler = device.ConnectClient();  // fills the queue: the next handshake is dropped
  ConnectionManager manager(ui, connected, {.port = device.port(), .connectWait = 200ms});
  EXPECT_EQ(RunToEnd(io, manager.Connect()), Outcome::kConnectFailed);
  EXPECT_EQ(manager.lastFailure(), "connect: no answer within 200 ms");
  // With room in the queue again, a socket still trying would now get through.
  ASSERT_TRUE(device.AcceptWithin(1000ms));
  EXPECT_FALSE(device.AcceptWithin(2500ms)) << "the abandoned connect completed after all";
}

}  // namespace
}  // namespace quento::connection
