// Frames and replies for the tests, all written by the protocol's own builders.
#pragma once

#include <initializer_list>
#include <vector>

#include "protocol/frames.h"

namespace quento::testing {

using Bytes = std::vector<std::uint8_t>;
using Data = std::span<const std::uint8_t>;

template <typename Build, typename... Args>
Bytes Built(Build build, Args... args) {
  Bytes out(protocol::kMaxFrameSize);
  out.resize(build(std::span(out), args...));
  return out;
}

inline Bytes Greeting() { return Built(protocol::BuildGreeting); }
inline Bytes Completion() { return Built(protocol::BuildCompletion); }
inline Bytes BlockWrite(unsigned b, const Bytes& d) {
  return Built(protocol::BuildBlockWrite, b, Data(d));
}
inline Bytes BlockRead(unsigned b, std::size_t n) { return Built(protocol::BuildBlockRead, b, n); }
inline Bytes Echo() { return Built(protocol::BuildGreetingEcho); }
inline Bytes Ack() { return Built(protocol::BuildWriteAck); }
inline Bytes Refusal(std::uint8_t cmd = protocol::kCmdWrite) {
  return Built(protocol::BuildRefusal, cmd);
}
inline Bytes ReadReply(unsigned b, const Bytes& d) {
  return Built(protocol::BuildBlockReadReply, b, Data(d));
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Pattern(std::size_t n, unsigned seed = 1) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 7);
  return out;
}

}  // namespace quento::testing
