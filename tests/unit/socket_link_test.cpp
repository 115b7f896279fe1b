// The connected socket against a real peer on loopback.
#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>

#include "connection/connector.h"
#include "support/loopback_listener.h"
#include "support/run_to_end.h"
#include "support/wire.h"

namespace quento::connection {
namespace {

using namespace quento::testing;
using namespace std::chrono_literals;

TEST(SocketLink, RealPeer_WholeFramesAndRepliesUntilTheTimeoutOrTheEndOfTheStream) {
  asio::io_context io;
  LoopbackListener device;
  ConnectResult connected = RunToEnd(io, ConnectDevice({0x7F000001, device.port()}));
  ASSERT_EQ(connected.outcome, Outcome::kSuccess) << connected.detail;
  SocketLink* link = connected.link.get();
  auto peer = device.Accept();
  const auto Receive = [&](Bytes& reply, std::chrono::milliseconds timeout) {
    return RunToEnd(io, link->Receive(reply, timeout));
  };
  ASSERT_TRUE(RunToEnd(io, link->Send(Bytes(1032, 0x5A))));
  EXPECT_EQ(ReadExactly(peer, 1032), Bytes(1032, 0x5A));
  // A reply in three segments: one already waiting, two arriving while the receive waits.
  asio::write(peer, asio::buffer(Echo().data(), 2));
  asio::steady_timer later(io, 20ms);
  later.async_wait([&](std::error_code) { asio::write(peer, asio::buffer(Echo().data() + 2, 2)); });
  asio::steady_timer last(io, 40ms);
  last.async_wait([&](std::error_code) { asio::write(peer, asio::buffer(Echo().data() + 4, 2)); });
  Bytes reply(6);
  EXPECT_EQ(Receive(reply, 5s), 6u);
  EXPECT_EQ(reply, Echo());
  asio::write(peer, asio::buffer("\x01\x02\x03", 3));
  EXPECT_EQ(Receive(reply, 100ms), 3u);
  EXPECT_EQ(link->FailureDetail(), "receive: no answer within 100 ms");
  // Junk left waiting is dropped; what comes after it is not.
  asio::write(peer, asio::buffer("\x01\x02\x03\x04", 4));
  reply.resize(1);
  ASSERT_EQ(Receive(reply, 5s), 1u);
  link->DiscardPending();
  asio::write(peer, asio::buffer("\x12", 1));
  ASSERT_EQ(Receive(reply, 5s), 1u);
  EXPECT_EQ(reply[0], 0x12);
  peer.close();
  EXPECT_EQ(Receive(reply, 1000ms), 0u);
  // Nothing can follow the end of the stream: a later receive does not wait for its time-out.
  bool ended = false;
  asio::co_spawn(io, link->Receive(reply, 60s),
                 [&](std::exception_ptr, std::size_t) { ended = true; });
  io.restart();
  io.run_for(5s);
  EXPECT_TRUE(ended);
  // The first send after a hang-up may still be taken by the system; a later one fails.
  bool sent = true;
  for (int attempt = 0; attempt < 10 && sent; ++attempt) sent = RunToEnd(io, link->Send(Bytes(8)));
  EXPECT_FALSE(sent);
  EXPECT_EQ(link->FailureDetail().rfind("send: ", 0), 0u) << link->FailureDetail();
}

}  // namespace
}  // namespace quento::connection
