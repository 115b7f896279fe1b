#include "test_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "protocol/frames.h"

namespace quento::device::test {

FaultPlan Plan(std::initializer_list<const char*> faults) {
  FaultPlan plan;
  for (const char* text : faults) {
    std::string error;
    EXPECT_TRUE(AddFault(text, plan, &error)) << text << ": " << error;
  }
  return plan;
}

Bytes Greeting() {
  Bytes out(protocol::kShortFrameSize);
  protocol::BuildGreeting(out);
  return out;
}

Bytes Completion() {
  Bytes out(protocol::kShortFrameSize);
  protocol::BuildCompletion(out);
  return out;
}

Bytes BlockWrite(unsigned block, const Bytes& data) {
  Bytes out(data.size() + protocol::kBlockOverhead);
  out.resize(protocol::BuildBlockWrite(out, block, data));
  return out;
}

Bytes BlockRead(unsigned block, std::size_t n) {
  Bytes out(protocol::kReadRequestSize);
  out.resize(protocol::BuildBlockRead(out, block, n));
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Client::Client(const Endpoint& device) {
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(device.address);
  sa.sin_port = htons(device.port);
  if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

Client::~Client() {
  if (m_fd >= 0) ::close(m_fd);
}

bool Client::Send(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

Bytes Client::Read(std::size_t n, std::chrono::milliseconds timeout) {
  Bytes out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::array<std::uint8_t, 4096> buf{};
    const ssize_t got = ::recv(m_fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
    if (got <= 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  return out;
}

Bytes Client::ReadSome(std::chrono::milliseconds timeout) {
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
  std::array<std::uint8_t, 4096> buf{};
  const ssize_t got = ::recv(m_fd, buf.data(), buf.size(), 0);
  if (got <= 0) return {};
  return Bytes(buf.begin(), buf.begin() + got);
}

bool Client::ClosedWithin(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    std::array<std::uint8_t, 4096> buf{};
    const ssize_t got = ::recv(m_fd, buf.data(), buf.size(), 0);
    if (got <= 0) return true;
  }
}

}  // namespace quento::device::test
