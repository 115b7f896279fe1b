#include "protocol/frame_parser.h"

#include <algorithm>
#include <cstring>

namespace quento::protocol {
namespace {

bool KnownCommand(std::uint8_t command) {
  return command == kCmdGreeting || command == kCmdWrite || command == kCmdRead ||
         command == kCmdComplete;
}

std::uint16_t LengthAt(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[4] << 8) | p[5]);
}

bool LengthInRange(std::uint16_t n) { return n >= 1 && n <= kBlockSize; }

// How many bytes at p cannot start a frame: all of them up to the next preamble's first byte,
// or one for a false start. 0 when p may start one.
std::size_t GarbageAt(const std::uint8_t* p, std::size_t avail) {
  if (p[0] != kPreamble[0]) {
    const void* next = std::memchr(p, kPreamble[0], avail);
    return next != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - p)
                           : avail;
  }
  const std::size_t prefix = std::min<std::size_t>(avail, sizeof kPreamble);
  if (std::memcmp(p, kPreamble, prefix) != 0 || (avail >= kHeaderSize && !KnownCommand(p[3]))) {
    return 1;
  }
  return 0;
}

// Decodes the frame that starts at p with a known command into `frame` and returns its size in
// bytes, or 0 while it is still incomplete.
std::size_t DecodeFrame(const std::uint8_t* p, std::size_t avail, Frame& frame) {
  if (avail < kHeaderSize) return 0;
  switch (p[3]) {
    case kCmdGreeting:
      frame.type = FrameType::kGreeting;
      return kShortFrameSize;
    case kCmdComplete:
      frame.type = FrameType::kCompletion;
      return kShortFrameSize;
    case kCmdRead:
      if (avail < kReadRequestSize) return 0;
      frame.type = FrameType::kBlockRead;
      frame.length = LengthAt(p);
      frame.index = p[6];
      if (!LengthInRange(frame.length)) frame.error = FrameError::kBadLength;
      return kReadRequestSize;
    default: {  // kCmdWrite
      if (avail < kDataOffset) return 0;
      frame.type = FrameType::kBlockWrite;
      frame.length = LengthAt(p);
      frame.index = p[6];
      // Its data cannot be delimited: only the header is taken.
      if (!LengthInRange(frame.length)) {
        frame.error = FrameError::kBadLength;
        return kDataOffset;
      }
      const std::size_t size = frame.length + kBlockOverhead;
      if (avail < size) return 0;
      frame.data.assign(p + kDataOffset, p + kDataOffset + frame.length);
      frame.checksum = p[size - 1];
      if (BlockChecksum(frame.data) != frame.checksum) frame.error = FrameError::kBadChecksum;
      return size;
    }
  }
}

}  // namespace

void FrameParser::Feed(std::span<const std::uint8_t> bytes, const Sink& sink) {
  while (!bytes.empty()) {
    const std::size_t take = std::min(bytes.size(), kCapacity - m_size);
    std::memcpy(m_buf.data() + m_size, bytes.data(), take);
    m_size += take;
    bytes = bytes.subspan(take);
    // A full buffer always holds a complete frame or garbage, so this makes room.
    ParseBuffered(sink);
  }
}

std::vector<Frame> FrameParser::Feed(std::span<const std::uint8_t> bytes) {
  std::vector<Frame> frames;
  Feed(bytes, [&frames](Frame&& frame) { frames.push_back(std::move(frame)); });
  return frames;
}

void FrameParser::ParseBuffered(const Sink& sink) {
  std::size_t pos = 0;
  while (pos < m_size) {
    const std::uint8_t* p = m_buf.data() + pos;
    const std::size_t avail = m_size - pos;
    if (const std::size_t garbage = GarbageAt(p, avail); garbage > 0) {
      m_dropped += garbage;
      pos += garbage;
      continue;
    }
    Frame frame;
    const std::size_t size = DecodeFrame(p, avail, frame);
    if (size == 0) break;  // an incomplete frame: wait for more bytes
    pos += size;
    ++m_frames;
    sink(std::move(frame));
  }
  if (pos > 0) {
    std::memmove(m_buf.data(), m_buf.data() + pos, m_size - pos);
    m_size -= pos;
  }
}

}  // namespace quento::protocol
