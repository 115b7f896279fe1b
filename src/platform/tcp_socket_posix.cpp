#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/tcp_socket.h"

namespace quento::platform {
namespace {

// A connect nobody interrupts still ends: the system itself gives up on a handshake sooner.
constexpr int kConnectLimitMs = 75'000;
constexpr int kConnectSliceMs = 1'000;

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

bool SetTimeout(int fd, int option, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

}  // namespace

bool StartNetworking() { return true; }

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
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error != nullptr) *error = {"socket", errno};
    return TcpSocket();
  }
  return TcpSocket(fd);
}

bool TcpSocket::Fail(const char* call) {
  m_error = {call, errno};
  return false;
}

bool TcpSocket::SetReceiveTimeout(int milliseconds) {
  return SetTimeout(Fd(m_handle), SO_RCVTIMEO, milliseconds) || Fail("setsockopt");
}

bool TcpSocket::SetSendTimeout(int milliseconds) {
  return SetTimeout(Fd(m_handle), SO_SNDTIMEO, milliseconds) || Fail("setsockopt");
}

bool TcpSocket::Connect(std::uint32_t address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(address);
  const int fd = Fd(m_handle);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return true;
  // Linux applies the send time-out to connect too (EINPROGRESS after one second), and an
  // interrupted connect (EINTR) goes on in the background. Either way, wait for the handshake
  // here: how long a Connect may take is the caller's decision, and one lost SYN must not
  // already fail it. Shutdown() from another thread ends the wait.
  if (errno != EINPROGRESS && errno != EINTR) return Fail("connect");
  pollfd pfd{fd, POLLOUT, 0};
  int ready = 0;
  for (int waited = 0; ready == 0 && waited < kConnectLimitMs; waited += kConnectSliceMs) {
    ready = ::poll(&pfd, 1, kConnectSliceMs);
    if (ready < 0 && errno == EINTR) ready = 0;
  }
  if (ready <= 0) {
    errno = ETIMEDOUT;
    return Fail("connect");
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return Fail("getsockopt");
  if (error != 0) {
    errno = error;
    return Fail("connect");
  }
  sockaddr_in connected{};
  length = sizeof connected;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&connected), &length) == 0 ||
         Fail("connect");
}

long TcpSocket::Send(const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::send(Fd(m_handle), data, size, MSG_DONTROUTE | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) {
      Fail("send");
      return -1;
    }
  }
}

WaitResult TcpSocket::WaitReadable(int timeout_ms) {
  pollfd pfd{Fd(m_handle), POLLIN, 0};
  const int n = ::poll(&pfd, 1, timeout_ms);
  if (n > 0) return WaitResult::kReady;
  if (n == 0 || errno == EINTR) return WaitResult::kTimeout;
  Fail("poll");
  return WaitResult::kError;
}

long TcpSocket::Receive(void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(Fd(m_handle), data, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) {
      Fail("recv");
      return -1;
    }
  }
}

void TcpSocket::Shutdown() {
  if (valid()) ::shutdown(Fd(m_handle), SHUT_RDWR);
}

void TcpSocket::Close() {
  // Don't retry close on EINTR: the descriptor is gone either way, and retrying could close a
  // descriptor another thread has just been given.
  if (valid()) ::close(Fd(std::exchange(m_handle, kInvalid)));
}

}  // namespace quento::platform
