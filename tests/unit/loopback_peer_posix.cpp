#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "loopback_peer.h"

namespace quento::testing {

struct LoopbackPeer::Impl {
  int listener = -1;
  int connection = -1;
  std::uint16_t port = 0;
};

LoopbackPeer::LoopbackPeer() : m_impl(std::make_unique<Impl>()) {
  m_impl->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(m_impl->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_impl->listener, 4) != 0 ||
      ::getsockname(m_impl->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("loopback listener");
  }
  m_impl->port = ntohs(address.sin_port);
}

LoopbackPeer::~LoopbackPeer() {
  CloseConnection();
  CloseListener();
}

std::uint16_t LoopbackPeer::port() const { return m_impl->port; }

void LoopbackPeer::Accept() {
  m_impl->connection = ::accept(m_impl->listener, nullptr, nullptr);
  const int on = 1;
  ::setsockopt(m_impl->connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void LoopbackPeer::Send(const std::vector<std::uint8_t>& bytes) {
  ::send(m_impl->connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

std::vector<std::uint8_t> LoopbackPeer::Receive(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(m_impl->connection, out.data() + got, size - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

void LoopbackPeer::CloseConnection() {
  if (m_impl->connection >= 0) ::close(m_impl->connection);
  m_impl->connection = -1;
}

void LoopbackPeer::CloseListener() {
  if (m_impl->listener >= 0) ::close(m_impl->listener);
  m_impl->listener = -1;
}

}  // namespace quento::testing
