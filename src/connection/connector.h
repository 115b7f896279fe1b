// Opening the TCP connection to a device: one socket, a bounded wait, and the system's own
// words when it fails. Knows nothing of windows; the window's connection manager and the
// command line both use it.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "connection/address.h"
#include "operator/outcome.h"
#include "protocol/transport.h"

namespace quento::connection {

// How long a connect may take. A device on the local network answers in milliseconds; three
// seconds is ample, and short enough that nobody wonders whether the tool has hung.
inline constexpr std::chrono::milliseconds kConnectWait{3000};
// No send may take longer than this (the loader's socket time-out).
inline constexpr std::chrono::milliseconds kSendTimeout{1000};

// A connected socket as the download's transport. Closing it (or destroying it) ends any
// operation still pending on it at once.
class SocketLink final : public protocol::Transport {
 public:
  struct Impl;
  explicit SocketLink(std::shared_ptr<Impl> impl);
  ~SocketLink() override;
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  asio::awaitable<bool> Send(std::span<const std::uint8_t> frame) override;
  asio::awaitable<std::size_t> Receive(std::span<std::uint8_t> reply,
                                       std::chrono::milliseconds timeout) override;
  void DiscardPending() override;
  bool Ended() const override;
  std::string FailureDetail() const override;

  void Close();

 private:
  std::shared_ptr<Impl> m_impl;
};

struct ConnectResult {
  op::Outcome outcome = op::Outcome::kConnectFailed;  // kSuccess, kSocketFailed or kConnectFailed
  std::string detail;                                 // e.g. "connect: Connection refused"
  std::unique_ptr<SocketLink> link;                   // the connection, on success
};

// Connects to `device` on the caller's event loop. A connect still pending after `wait` is
// given up and its socket closed at once, so it can never complete behind the caller's back.
asio::awaitable<ConnectResult> ConnectDevice(DeviceAddress device,
                                             std::chrono::milliseconds wait = kConnectWait);

}  // namespace quento::connection
