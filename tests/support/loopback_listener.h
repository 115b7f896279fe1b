// A listening socket on 127.0.0.1 for tests of the real sockets, with its own event loop, so a
// test can accept (or refuse to) while the code under test runs on another.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <optional>
#include <vector>

namespace quento::testing {

// Runs `io` until its work is done or `timeout` passes, then ends what `waiter` still waits for.
template <typename Waiter>
void RunFor(asio::io_context& io, std::chrono::milliseconds timeout, Waiter& waiter) {
  io.restart();
  io.run_for(timeout);
  if (io.stopped()) return;
  waiter.cancel();
  io.run();
}

class LoopbackListener {
 public:
  using tcp = asio::ip::tcp;

  // `backlog` 0 makes a listener whose queue one unaccepted connection fills; Linux then drops
  // further handshakes, so a connect to it never completes.
  explicit LoopbackListener(int backlog = asio::socket_base::max_listen_connections) {
    m_acceptor.open(tcp::v4());
    m_acceptor.bind({asio::ip::address_v4::loopback(), 0});
    m_acceptor.listen(backlog);
  }

  std::uint16_t port() const { return m_acceptor.local_endpoint().port(); }
  tcp::socket Accept() { return m_acceptor.accept(); }
  void Close() { m_acceptor.close(); }

  std::optional<tcp::socket> AcceptWithin(std::chrono::milliseconds wait) {
    std::optional<tcp::socket> accepted;
    m_acceptor.async_accept([&](std::error_code error, tcp::socket socket) {
      if (!error) accepted.emplace(std::move(socket));
    });
    RunFor(m_io, wait, m_acceptor);
    return accepted;
  }

  // A connection that completes but waits in the queue, never accepted.
  tcp::socket ConnectClient() {
    tcp::socket client(m_io);
    client.connect({asio::ip::address_v4::loopback(), port()});
    return client;
  }

 private:
  asio::io_context m_io;
  tcp::acceptor m_acceptor{m_io};
};

// Everything `socket` receives until the peer closes, or `size` bytes.
inline std::vector<std::uint8_t> ReadExactly(asio::ip::tcp::socket& socket, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::error_code error;
  bytes.resize(asio::read(socket, asio::buffer(bytes), error));
  return bytes;
}

}  // namespace quento::testing
