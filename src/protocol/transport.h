// The download's view of the connection to the device. Every operation is awaited on the
// caller's event loop; nothing blocks.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quento::protocol {

class Transport {
 public:
  virtual ~Transport() = default;

  // Sends the whole frame. False only where the system reported a failure.
  virtual asio::awaitable<bool> Send(std::span<const std::uint8_t> frame) = 0;
  // Fills `reply` as far as the device delivers within `timeout`, then returns the number of
  // bytes received. Returns early only when `reply` is full or the connection has ended.
  virtual asio::awaitable<std::size_t> Receive(std::span<std::uint8_t> reply,
                                               std::chrono::milliseconds timeout) = 0;
  // Drops whatever the device has sent that nobody has read yet, without waiting.
  virtual void DiscardPending() = 0;
  // True once a receive, a discard or a failed send has found that the device closed or reset
  // the connection: nothing more will arrive, and nothing sent will reach it.
  virtual bool Ended() const { return false; }
  // The system's own words for the last failure, e.g. "send: Broken pipe"; empty if none.
  virtual std::string FailureDetail() const { return {}; }
};

}  // namespace quento::protocol
