// A blocking loopback TCP client for tests. Every read has a deadline: a peer that never answers
// fails the test instead of stalling the suite.
#pragma once

#include "support/loopback_listener.h"

namespace quento::testing {

class TcpClient {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // `address` in host byte order.
  TcpClient(std::uint32_t address, std::uint16_t port) {
    m_socket.connect({asio::ip::address_v4(address), port}, m_error);
  }

  bool connected() const { return !m_error; }

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
