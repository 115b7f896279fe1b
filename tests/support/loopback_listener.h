// A listening socket on 127.0.0.1 for tests of the real sockets, with its own event loop, so a
// test can accept (or refuse to) while the code under test runs on another.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace quento::testing {

class LoopbackListener {
 public:
  using tcp = asio::ip::tcp;

  // `backlog` 0 makes a listener whose queue one unaccepted connection fills; Linux then drops
  // further handshakes, so a connect to it never completes.
  explicit LoopbackListener(int backlog = asio::socket_base::max_listen_connections)
      : m_acceptor(m_io) {
    m_acceptor.open(tcp::v4());
    m_acceptor.bind({asio::ip::address_v4::loopback(), 0});
    m_acceptor.listen(backlog);
  }

  std::uint16_t port() const { return m_acceptor.local_endpoint().port(); }
  asio::io_context& io() { return m_io; }

  tcp::socket Accept() { return m_acceptor.accept(); }

  // A connection accepted within `wait`, if one arrives.
  std::optional<tcp::socket> AcceptWithin(std::chrono::milliseconds wait) {
    std::optional<tcp::socket> accepted;
    m_acceptor.async_accept([&](std::error_code error, tcp::socket socket) {
      if (!error) accepted.emplace(std::move(socket));
    });
    m_io.restart();
    m_io.run_for(wait);
    m_acceptor.cancel();
    m_io.restart();
    m_io.run();
    return accepted;
  }

  // A connection to this listener that completes (it waits in the queue, never accepted).
  tcp::socket ConnectClient() {
    tcp::socket client(m_io);
    client.connect({asio::ip::address_v4::loopback(), port()});
    return client;
  }

  void Close() { m_acceptor.close(); }

 private:
  asio::io_context m_io;
  tcp::acceptor m_acceptor;
};

// Everything `socket` receives until the peer closes, or `size` bytes.
inline std::vector<std::uint8_t> ReadExactly(asio::ip::tcp::socket& socket, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::error_code error;
  bytes.resize(asio::read(socket, asio::buffer(bytes), error));
  return bytes;
}

}  // namespace quento::testing
