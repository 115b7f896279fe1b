// The system's sockets against a real peer on loopback.
#include <gtest/gtest.h>

#include <thread>

#include "connection/connection_manager.h"
#include "loopback_peer.h"
#include "recording_feedback.h"

namespace quento::connection {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class SystemSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui.address = "127.0.0.1";
    ASSERT_EQ(manager.Connect(), Outcome::kSuccess);
    peer.Accept();
    link = manager.transport();
  }

  quento::testing::LoopbackPeer peer;
  quento::testing::RecordingFeedback ui;
  SystemNetwork network;
  std::int32_t connected = 0;
  ConnectionManager manager{
      ui, network, connected, {.port = peer.port(), .connectWait = 3000ms, .idle = {}}};
  protocol::Transport* link = nullptr;
};

TEST_F(SystemSocketTest, FrameArrivesWhole) {
  const Bytes frame = {0x12, 0x34, 0x56, 0x7B};
  ASSERT_TRUE(link->Send(frame));
  EXPECT_EQ(peer.Receive(4), frame);
}

TEST_F(SystemSocketTest, ReplyInTwoSegments_IsReceivedWhole) {
  peer.Send({0x12, 0x34, 0x56});
  std::thread rest([this] {
    std::this_thread::sleep_for(30ms);  // the gap between the two segments
    peer.Send({0x7B, 0x00, 0x00});
  });
  Bytes reply(6);
  EXPECT_EQ(link->Receive(reply, 1000ms), 6u);
  rest.join();
  EXPECT_EQ(reply, (Bytes{0x12, 0x34, 0x56, 0x7B, 0x00, 0x00}));
}

TEST_F(SystemSocketTest, ShortReply_ReturnsWhatArrivedWhenTheTimeoutPasses) {
  peer.Send({0x12, 0x34, 0x56});
  Bytes reply(6);
  EXPECT_EQ(link->Receive(reply, 100ms), 3u);
}

TEST_F(SystemSocketTest, DiscardPending_DropsBytesAlreadyWaiting) {
  peer.Send({0xEE, 0xEE, 0xEE, 0xEE});
  Bytes first(1);
  ASSERT_EQ(link->Receive(first, 1000ms), 1u);  // the junk has arrived
  link->DiscardPending();
  peer.Send({0x01, 0x02});
  Bytes reply(2);
  EXPECT_EQ(link->Receive(reply, 1000ms), 2u);
  EXPECT_EQ(reply, (Bytes{0x01, 0x02}));
}

TEST_F(SystemSocketTest, PeerHungUp_ReceiveEndsAndSendFailsWithoutKillingUs) {
  peer.CloseConnection();
  Bytes reply(6);
  EXPECT_EQ(link->Receive(reply, 1000ms), 0u);
  bool failed = false;
  for (int i = 0; i < 50 && !failed; ++i) failed = !link->Send(Bytes(1032, 0x55));
  EXPECT_TRUE(failed);
}

TEST(SystemConnect, NothingListening_ConnectFails) {
  std::uint16_t port = 0;
  {
    quento::testing::LoopbackPeer closed;
    port = closed.port();
  }
  quento::testing::RecordingFeedback ui;
  SystemNetwork network;
  std::int32_t connected = 0;
  ConnectionManager manager(ui, network, connected,
                            {.port = port, .connectWait = 3000ms, .idle = {}});
  EXPECT_EQ(manager.Connect(), Outcome::kConnectFailed);
  EXPECT_EQ(connected, 0);
}

}  // namespace
}  // namespace quento::connection
