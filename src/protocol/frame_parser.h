// The device's side of the wire: an incremental parser for the frames the tool sends. Pure: no
// sockets, no clock. Any byte sequence may be fed, split or coalesced anywhere; the parser holds
// at most one frame's worth of bytes (kMaxFrameSize) whatever it is fed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "protocol/frames.h"

namespace quento::protocol {

enum class FrameType : std::uint8_t { kGreeting, kBlockWrite, kBlockRead, kCompletion };

enum class FrameError : std::uint8_t {
  kNone,
  kBadLength,    // block-write or block-read length outside 1..1024
  kBadChecksum,  // block-write whose checksum is not the sum of its data bytes
};

struct Frame {
  FrameType type = FrameType::kGreeting;
  FrameError error = FrameError::kNone;
  std::uint16_t length = 0;        // n as declared (block-write, block-read)
  std::uint8_t index = 0;          // block index (block-write, block-read)
  std::uint8_t checksum = 0;       // as received (block-write with a valid length)
  std::vector<std::uint8_t> data;  // the n data bytes (block-write with a valid length)

  bool ok() const { return error == FrameError::kNone; }
};

// Feeds bytes in, hands complete frames out in order.
//
// Resynchronisation: bytes that cannot start a frame (anything but 12 34 56 followed by a known
// command) are dropped one at a time until a preamble with a known command is found. A
// block-write whose length is outside 1..1024 is reported as kBadLength after its 7-byte header;
// its data cannot be delimited, so whatever follows is scanned for the next preamble.
class FrameParser {
 public:
  using Sink = std::function<void(Frame&&)>;

  // Parses `bytes` and calls `sink` for every frame completed by them, in order.
  void Feed(std::span<const std::uint8_t> bytes, const Sink& sink);
  // Convenience for tests: the frames completed by `bytes`.
  std::vector<Frame> Feed(std::span<const std::uint8_t> bytes);

  std::size_t buffered() const { return m_size; }         // bytes of an incomplete frame
  std::size_t droppedBytes() const { return m_dropped; }  // garbage skipped while resyncing
  std::size_t framesParsed() const { return m_frames; }

  static constexpr std::size_t kCapacity = kMaxFrameSize;

 private:
  void ParseBuffered(const Sink& sink);

  std::array<std::uint8_t, kCapacity> m_buf{};
  std::size_t m_size = 0;
  std::size_t m_dropped = 0;
  std::size_t m_frames = 0;
};

}  // namespace quento::protocol
