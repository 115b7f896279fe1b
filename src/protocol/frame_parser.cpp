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
  const auto emit = [&](Frame&& frame, std::size_t size) {
    pos += size;
    ++m_frames;
    sink(std::move(frame));
  };
  while (pos < m_size) {
    const std::uint8_t* p = m_buf.data() + pos;
    const std::size_t avail = m_size - pos;
    // Skip straight to the next possible preamble start.
    if (p[0] != kPreamble[0]) {
      const void* next = std::memchr(p, kPreamble[0], avail);
      const std::size_t skip =
          next != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - p)
                          : avail;
      m_dropped += skip;
      pos += skip;
      continue;
    }
    const std::size_t prefix = std::min<std::size_t>(avail, sizeof kPreamble);
    if (std::memcmp(p, kPreamble, prefix) != 0 || (avail >= kHeaderSize && !KnownCommand(p[3]))) {
      ++m_dropped;
      ++pos;
      continue;
    }
    if (avail < kHeaderSize) break;  // a preamble's start: wait for more

    Frame frame;
    switch (p[3]) {
      case kCmdGreeting:
        frame.type = FrameType::kGreeting;
        emit(std::move(frame), kShortFrameSize);
        continue;
      case kCmdComplete:
        frame.type = FrameType::kCompletion;
        emit(std::move(frame), kShortFrameSize);
        continue;
      case kCmdRead:
        if (avail < kReadRequestSize) break;
        frame.type = FrameType::kBlockRead;
        frame.length = LengthAt(p);
        frame.index = p[6];
        if (!LengthInRange(frame.length)) frame.error = FrameError::kBadLength;
        emit(std::move(frame), kReadRequestSize);
        continue;
      default: {  // kCmdWrite
        if (avail < kDataOffset) break;
        frame.type = FrameType::kBlockWrite;
        frame.length = LengthAt(p);
        frame.index = p[6];
        if (!LengthInRange(frame.length)) {
          frame.error = FrameError::kBadLength;
          emit(std::move(frame), kDataOffset);
          continue;
        }
        const std::size_t size = frame.length + kBlockOverhead;
        if (avail < size) break;
        frame.data.assign(p + kDataOffset, p + kDataOffset + frame.length);
        frame.checksum = p[size - 1];
        if (BlockChecksum(frame.data) != frame.checksum) {
          frame.error = FrameError::kBadChecksum;
        }
        emit(std::move(frame), size);
        continue;
      }
    }
    break;  // an incomplete frame: wait for more bytes
  }
  if (pos > 0) {
    std::memmove(m_buf.data(), m_buf.data() + pos, m_size - pos);
    m_size -= pos;
  }
}

}  // namespace quento::protocol
