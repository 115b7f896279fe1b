// The sockets the connection manager opens. The system's sockets in the programs; scripted
// fakes in tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "protocol/transport.h"

namespace quento::connection {

class StreamSocket : public protocol::Transport {
 public:
  virtual bool SetReceiveTimeout(std::chrono::milliseconds timeout) = 0;
  virtual bool SetSendTimeout(std::chrono::milliseconds timeout) = 0;
  // Blocks until connected or refused, or the platform gives up. Host byte order.
  virtual bool Connect(std::uint32_t address, std::uint16_t port) = 0;
  // Safe from another thread: makes a blocked Connect or Receive return. The socket is closed
  // when the last owner lets go of it, never here.
  virtual void Interrupt() = 0;
};

class Network {
 public:
  virtual ~Network() = default;
  // Null when no socket can be created.
  virtual std::unique_ptr<StreamSocket> OpenStream() = 0;
};

// Called now and then while a socket waits for the device, so a window can repaint.
using IdleHook = std::function<void()>;

// The operating system's TCP sockets.
class SystemNetwork final : public Network {
 public:
  explicit SystemNetwork(IdleHook idle = {}) : m_idle(std::move(idle)) {}
  std::unique_ptr<StreamSocket> OpenStream() override;

 private:
  IdleHook m_idle;
};

}  // namespace quento::connection
