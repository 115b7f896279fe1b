#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "loopback_peer.h"
#include "platform/tcp_socket.h"

namespace quento::testing {

struct LoopbackPeer::Impl {
  SOCKET listener = INVALID_SOCKET;
  SOCKET connection = INVALID_SOCKET;
  std::uint16_t port = 0;
};

LoopbackPeer::LoopbackPeer() : m_impl(std::make_unique<Impl>()) {
  platform::StartNetworking();
  m_impl->listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
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
  const BOOL on = TRUE;
  ::setsockopt(m_impl->connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);
}

void LoopbackPeer::Send(const std::vector<std::uint8_t>& bytes) {
  ::send(m_impl->connection, reinterpret_cast<const char*>(bytes.data()),
         static_cast<int>(bytes.size()), 0);
}

std::vector<std::uint8_t> LoopbackPeer::Receive(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::size_t got = 0;
  while (got < size) {
    const int n = ::recv(m_impl->connection, reinterpret_cast<char*>(out.data() + got),
                         static_cast<int>(size - got), 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

void LoopbackPeer::CloseConnection() {
  if (m_impl->connection != INVALID_SOCKET) ::closesocket(m_impl->connection);
  m_impl->connection = INVALID_SOCKET;
}

void LoopbackPeer::CloseListener() {
  if (m_impl->listener != INVALID_SOCKET) ::closesocket(m_impl->listener);
  m_impl->listener = INVALID_SOCKET;
}

}  // namespace quento::testing
