// A blocking loopback TCP client for tests, on Asio. Every read has a deadline: a peer that
// never answers fails the test instead of stalling the suite.
#pragma once

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace quento::testing {

class TcpClient {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // `address` in host byte order.
  TcpClient(std::uint32_t address, std::uint16_t port) {
    asio::error_code ec;
    m_socket.connect({asio::ip::address_v4(address), port}, ec);
    m_connected = !ec;
  }

  bool connected() const { return m_connected; }

  bool Send(const Bytes& bytes) {
    asio::error_code ec;
    asio::write(m_socket, asio::buffer(bytes), ec);
    return !ec;
  }

  // Exactly `n` bytes; fewer when the stream ends or the deadline passes first.
  Bytes Read(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    Bytes out(n);
    std::size_t got = 0;
    asio::async_read(m_socket, asio::buffer(out),
                     [&](asio::error_code, std::size_t k) { got = k; });
    Run(timeout);
    out.resize(got);
    return out;
  }

  // Everything until the peer closes the stream; nullopt when the deadline passes first.
  std::optional<Bytes> ReadUntilClosed(
      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    Bytes out(1 << 16);
    std::size_t got = 0;
    asio::error_code error;
    asio::async_read(m_socket, asio::buffer(out), [&](asio::error_code ec, std::size_t k) {
      got = k;
      error = ec;
    });
    Run(timeout);
    if (error == asio::error::operation_aborted || !error) return std::nullopt;
    out.resize(got);
    return out;  // end of stream or reset: closed either way
  }

 private:
  void Run(std::chrono::milliseconds timeout) {
    m_io.restart();
    m_io.run_for(timeout);
    if (!m_io.stopped()) {
      m_socket.cancel();
      m_io.run();
    }
  }

  asio::io_context m_io;
  asio::ip::tcp::socket m_socket{m_io};
  bool m_connected = false;
};

}  // namespace quento::testing
