// The connected socket against a real peer on loopback.
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "connection/connector.h"
#include "support/loopback_listener.h"
#include "support/run_to_end.h"

namespace quento::connection {
namespace {

using quento::testing::LoopbackListener;
using quento::testing::ReadExactly;
using quento::testing::RunToEnd;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class SocketLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConnectResult result = RunToEnd(io, ConnectDevice({0x7F000001, device.port()}));
    ASSERT_EQ(result.outcome, Outcome::kSuccess) << result.detail;
    link = std::move(result.link);
    peer = device.Accept();
  }

  std::size_t Receive(Bytes& reply, std::chrono::milliseconds timeout) {
    return RunToEnd(io, link->Receive(reply, timeout));
  }
  bool Send(const Bytes& frame) { return RunToEnd(io, link->Send(frame)); }

  asio::io_context io;
  LoopbackListener device;
  std::unique_ptr<SocketLink> link;
  asio::ip::tcp::socket peer{device.io()};
};

TEST_F(SocketLinkTest, FrameArrivesWhole) {
  const Bytes frame(1032, 0x5A);
  ASSERT_TRUE(Send(frame));
  EXPECT_EQ(ReadExactly(peer, frame.size()), frame);
}

TEST_F(SocketLinkTest, ReplyInTwoSegments_IsReceivedWhole) {
  Bytes reply(6);
  const std::size_t got = RunToEnd(io, [&]() -> asio::awaitable<std::size_t> {
    asio::write(peer, asio::buffer("\x12\x34\x56", 3));
    // The second half follows while the receive is already waiting.
    asio::steady_timer gap(io, 30ms);
    gap.async_wait([&](std::error_code) { asio::write(peer, asio::buffer("\x7B\x00\x00", 3)); });
    co_return co_await link->Receive(reply, 1000ms);
  }());
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(reply, (Bytes{0x12, 0x34, 0x56, 0x7B, 0, 0}));
}

TEST_F(SocketLinkTest, ShortReply_ReturnsWhatArrivedWhenTheTimeoutPasses) {
  asio::write(peer, asio::buffer("\x12\x34", 2));
  Bytes reply(6);
  EXPECT_EQ(Receive(reply, 100ms), 2u);
  EXPECT_EQ(link->FailureDetail(), "receive: no answer within 100 ms");
}

TEST_F(SocketLinkTest, DiscardPending_DropsBytesAlreadyWaitingAndNothingLater) {
  asio::write(peer, asio::buffer("\x01\x02\x03\x04", 4));
  Bytes first(1);
  ASSERT_EQ(Receive(first, 1000ms), 1u);  // the junk has arrived
  link->DiscardPending();
  asio::write(peer, asio::buffer("\x12", 1));
  Bytes next(1);
  ASSERT_EQ(Receive(next, 1000ms), 1u);
  EXPECT_EQ(next[0], 0x12);
}

TEST_F(SocketLinkTest, PeerHungUp_ReceiveEndsAndSendFailsWithTheSystemsWords) {
  peer.close();
  Bytes reply(6);
  EXPECT_EQ(Receive(reply, 1000ms), 0u);
  EXPECT_FALSE(link->FailureDetail().empty());
  // Nothing can follow the end of the stream: a later receive does not wait for its time-out.
  bool ended = false;
  asio::co_spawn(io, link->Receive(reply, 60s),
                 [&](std::exception_ptr, std::size_t) { ended = true; });
  io.restart();
  io.run_for(5s);
  EXPECT_TRUE(ended);
  bool sent = true;
  // The first send after a hang-up may still be taken by the system; a later one fails.
  for (int attempt = 0; attempt < 10 && sent; ++attempt) sent = Send(Bytes(8, 1));
  EXPECT_FALSE(sent);
  EXPECT_EQ(link->FailureDetail().rfind("send: ", 0), 0u) << link->FailureDetail();
}

TEST(ConnectDevice, NothingListening_FailsWithTheSystemsWords) {
  LoopbackListener closed;
  const std::uint16_t port = closed.port();
  closed.Close();
  const ConnectResult result = RunToEnd(ConnectDevice({0x7F000001, port}));
  EXPECT_EQ(result.outcome, Outcome::kConnectFailed);
  EXPECT_EQ(result.detail.rfind("connect: ", 0), 0u);
  EXPECT_EQ(result.link, nullptr);
}

}  // namespace
}  // namespace quento::connection
