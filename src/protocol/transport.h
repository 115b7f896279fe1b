// The download's view of the connection to the device.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quento::protocol {

class Transport {
 public:
  virtual ~Transport() = default;

  // Sends the whole frame. False only where the platform reported a failure.
  virtual bool Send(std::span<const std::uint8_t> frame) = 0;
  // Fills `reply` as far as the device delivers within `timeout`, then returns the number of
  // bytes received. Returns early only when `reply` is full or the connection has ended.
  virtual std::size_t Receive(std::span<std::uint8_t> reply, std::chrono::milliseconds timeout) = 0;
  // Drops whatever the device has sent that nobody has read yet.
  virtual void DiscardPending() = 0;
};

}  // namespace quento::protocol
