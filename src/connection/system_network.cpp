#include <algorithm>
#include <array>

#include "connection/network.h"
#include "platform/tcp_socket.h"

namespace quento::connection {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// While someone is idling, waits are cut into slices this long.
constexpr milliseconds kIdleSlice{15};
// A device that floods the line must not keep a discard going for ever.
constexpr std::size_t kMaxDiscard = 1 << 20;

class SystemSocket final : public StreamSocket {
 public:
  SystemSocket(platform::TcpSocket socket, IdleHook idle)
      : m_socket(std::move(socket)), m_idle(std::move(idle)) {}

  bool SetReceiveTimeout(milliseconds timeout) override {
    return m_socket.SetReceiveTimeout(static_cast<int>(timeout.count()));
  }
  bool SetSendTimeout(milliseconds timeout) override {
    return m_socket.SetSendTimeout(static_cast<int>(timeout.count()));
  }
  bool Connect(std::uint32_t address, std::uint16_t port) override {
    return m_socket.Connect(address, port);
  }
  void Interrupt() override { m_socket.Shutdown(); }

  bool Send(std::span<const std::uint8_t> frame) override {
    // A blocking send of a frame this small goes out whole; the loop only guards the odd
    // short count so that a frame is never cut.
    std::size_t sent = 0;
    while (sent < frame.size()) {
      const long n = m_socket.Send(frame.data() + sent, frame.size() - sent);
      if (n < 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::size_t Receive(std::span<std::uint8_t> reply, milliseconds timeout) override {
    const auto deadline = Clock::now() + timeout;
    std::size_t got = 0;
    while (got < reply.size()) {
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      const milliseconds slice = m_idle ? std::min(left, kIdleSlice) : left;
      const platform::WaitResult ready = m_socket.WaitReadable(static_cast<int>(slice.count()));
      if (ready == platform::WaitResult::kError) break;
      if (ready == platform::WaitResult::kTimeout) {
        if (m_idle) m_idle();
        continue;
      }
      const long n = m_socket.Receive(reply.data() + got, reply.size() - got);
      if (n <= 0) break;  // the device hung up, or the connection failed
      got += static_cast<std::size_t>(n);
    }
    return got;
  }

  void DiscardPending() override {
    std::array<std::uint8_t, 4096> sink;
    std::size_t dropped = 0;
    while (dropped < kMaxDiscard && m_socket.WaitReadable(0) == platform::WaitResult::kReady) {
      const long n = m_socket.Receive(sink.data(), sink.size());
      if (n <= 0) break;
      dropped += static_cast<std::size_t>(n);
    }
  }

 private:
  platform::TcpSocket m_socket;
  IdleHook m_idle;
};

}  // namespace

std::unique_ptr<StreamSocket> SystemNetwork::OpenStream() {
  if (!platform::StartNetworking()) return nullptr;
  platform::TcpSocket socket = platform::TcpSocket::Open(nullptr);
  if (!socket.valid()) return nullptr;
  return std::make_unique<SystemSocket>(std::move(socket), m_idle);
}

}  // namespace quento::connection
