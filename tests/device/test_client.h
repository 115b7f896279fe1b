// A loopback TCP client for the simulator tests, plus frame builders.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "device/simulator.h"

namespace quento::device::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes Greeting();
Bytes Completion();
Bytes BlockWrite(unsigned block, const Bytes& data);
Bytes BlockRead(unsigned block, std::size_t n);
Bytes Concat(std::initializer_list<Bytes> parts);
// A fault plan from fault texts; a text that does not parse fails the test.
FaultPlan Plan(std::initializer_list<const char*> faults);

inline const Bytes kEcho = {0x12, 0x34, 0x56, 0x7B, 0x00, 0x00};
inline const Bytes kAck = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00};
inline const Bytes kNak = {0x12, 0x34, 0x56, 0x78, 0x00, 0x01};

class Client {
 public:
  explicit Client(const Endpoint& device);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return m_fd >= 0; }
  bool Send(std::span<const std::uint8_t> bytes);
  // Reads until `n` bytes arrived, the stream ended or `timeout` passed; returns what came.
  Bytes Read(std::size_t n, std::chrono::milliseconds timeout = 2000ms);
  // One receive call within `timeout`: what a single segment brought.
  Bytes ReadSome(std::chrono::milliseconds timeout = 2000ms);
  // True when the device closed the stream within `timeout` (pending bytes are discarded).
  bool ClosedWithin(std::chrono::milliseconds timeout);

 private:
  int m_fd = -1;
};

}  // namespace quento::device::test
