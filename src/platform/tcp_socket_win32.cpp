#include <winsock2.h>
#include <ws2tcpip.h>

#include <utility>

#include "platform/tcp_socket.h"

namespace quento::platform {
namespace {

SOCKET Sock(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

bool SetTimeout(SOCKET s, int option, int milliseconds) {
  const DWORD value = static_cast<DWORD>(milliseconds);
  return ::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) !=
         SOCKET_ERROR;
}

}  // namespace

bool StartNetworking() {
  static const bool started = [] {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(1, 1)) {
      ::WSACleanup();
      return false;
    }
    return true;
  }();
  return started;
}

TcpSocket::TcpSocket(TcpSocket&& other) noexcept
    : m_handle(std::exchange(other.m_handle, kInvalid)), m_error(other.m_error) {}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, kInvalid);
    m_error = other.m_error;
  }
  return *this;
}

TcpSocket::~TcpSocket() { Close(); }

TcpSocket TcpSocket::Open(SysError* error) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    if (error != nullptr) *error = {"socket", ::WSAGetLastError()};
    return TcpSocket();
  }
  return TcpSocket(static_cast<std::intptr_t>(s));
}

bool TcpSocket::Fail(const char* call) {
  m_error = {call, ::WSAGetLastError()};
  return false;
}

bool TcpSocket::SetReceiveTimeout(int milliseconds) {
  return SetTimeout(Sock(m_handle), SO_RCVTIMEO, milliseconds) || Fail("setsockopt");
}

bool TcpSocket::SetSendTimeout(int milliseconds) {
  return SetTimeout(Sock(m_handle), SO_SNDTIMEO, milliseconds) || Fail("setsockopt");
}

bool TcpSocket::Connect(std::uint32_t address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(address);
  return ::connect(Sock(m_handle), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 ||
         Fail("connect");
}

long TcpSocket::Send(const void* data, std::size_t size) {
  const int n =
      ::send(Sock(m_handle), static_cast<const char*>(data), static_cast<int>(size), MSG_DONTROUTE);
  if (n == SOCKET_ERROR) {
    Fail("send");
    return -1;
  }
  return n;
}

WaitResult TcpSocket::WaitReadable(int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(m_handle), &readable);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = ::select(0, &readable, nullptr, nullptr, &tv);
  if (n > 0) return WaitResult::kReady;
  if (n == 0) return WaitResult::kTimeout;
  Fail("select");
  return WaitResult::kError;
}

long TcpSocket::Receive(void* data, std::size_t size) {
  const int n = ::recv(Sock(m_handle), static_cast<char*>(data), static_cast<int>(size), 0);
  if (n == SOCKET_ERROR) {
    Fail("recv");
    return -1;
  }
  return n;
}

void TcpSocket::Shutdown() {
  if (valid()) ::shutdown(Sock(m_handle), SD_BOTH);
}

void TcpSocket::Close() {
  if (valid()) ::closesocket(Sock(std::exchange(m_handle, kInvalid)));
}

}  // namespace quento::platform
