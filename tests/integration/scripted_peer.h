// A hand-written device on loopback for behaviour the simulator does not offer: the test gives
// the code that runs on the accepted connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quento::testing {

class ScriptedPeer {
 public:
  using Script = std::function<void(int connection)>;

  explicit ScriptedPeer(Script script) : m_script(std::move(script)) {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listener, 1);
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      const int connection = ::accept(m_listener, nullptr, nullptr);
      if (connection < 0) return;
      const int on = 1;
      ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      m_script(connection);
      ::close(connection);
    });
  }
  ~ScriptedPeer() {
    ::shutdown(m_listener, SHUT_RDWR);  // wakes an accept that never got a connection
    m_thread.join();
    ::close(m_listener);
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

  // Helpers for scripts. Each returns false once the tool has gone.
  static bool ReadExactly(int fd, std::vector<std::uint8_t>& out, std::size_t size) {
    out.resize(size);
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = ::recv(fd, out.data() + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }
  static bool Write(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

 private:
  Script m_script;
  int m_listener = -1;
  std::uint16_t m_port = 0;
  std::thread m_thread;
};

}  // namespace quento::testing
