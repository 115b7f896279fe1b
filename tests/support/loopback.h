// Both ends of a loopback TCP connection for tests of the real sockets, each with its own event
// loop, so a test can accept (or refuse to), send and read while the code under test runs on
// another. Every read has a deadline: a peer that never answers fails the test instead of
// stalling the suite.
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
  tcp::acceptor& acceptor() { return m_acceptor; }
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

// One end of a connection: connected to a listener, or accepted from one.
class TcpClient {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // `address` in host byte order.
  TcpClient(std::uint32_t address, std::uint16_t port) {
    m_socket.connect({asio::ip::address_v4(address), port}, m_error);
  }
  explicit TcpClient(LoopbackListener& listener) { listener.acceptor().accept(m_socket, m_error); }

  bool connected() const { return !m_error; }
  void Close() { m_socket.close(); }

  bool Send(const Bytes& bytes) {
    asio::error_code error;
    asio::write(m_socket, asio::buffer(bytes), error);
    return !error;
  }

  // Exactly `n` bytes; fewer when the stream ends or the deadline passes first.
  Bytes Read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return Transfer(n, timeout).first;
  }

  // Everything until the peer closes the stream (or resets it); nullopt when the deadline
  // passes first.
  std::optional<Bytes> ReadUntilClosed(
      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto [bytes, error] = Transfer(1 << 16, timeout);
    if (!error || error == asio::error::operation_aborted) return std::nullopt;
    return bytes;
  }

 private:
  std::pair<Bytes, asio::error_code> Transfer(std::size_t n, std::chrono::milliseconds timeout) {
    Bytes out(n);
    asio::error_code error;
    asio::async_read(m_socket, asio::buffer(out), [&](asio::error_code e, std::size_t got) {
      error = e;
      out.resize(got);
    });
    RunFor(m_io, timeout, m_socket);
    return {out, error};
  }

  asio::io_context m_io;
  asio::ip::tcp::socket m_socket{m_io};
  asio::error_code m_error;
};

}  // namespace quento::testing
