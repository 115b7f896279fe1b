#include "protocol/frames.h"

#include <algorithm>
#include <cassert>

namespace quento::protocol {
namespace {

void PutHeader(std::span<std::uint8_t> out, std::uint8_t command) {
  std::copy(std::begin(kPreamble), std::end(kPreamble), out.begin());
  out[3] = command;
}

bool HasHeader(std::span<const std::uint8_t> reply, std::uint8_t command) {
  return reply.size() >= kHeaderSize &&
         std::equal(std::begin(kPreamble), std::end(kPreamble), reply.begin()) &&
         reply[3] == command;
}

bool IsShortReply(std::span<const std::uint8_t, kShortReplySize> reply, std::uint8_t command) {
  return HasHeader(reply, command) && reply[4] == 0 && reply[5] == 0;
}

}  // namespace

std::uint8_t BlockChecksum(std::span<const std::uint8_t> data) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : data) sum = static_cast<std::uint8_t>(sum + b);
  return sum;
}

std::size_t BuildGreeting(std::span<std::uint8_t> out) {
  PutHeader(out, kCmdGreeting);
  return kShortFrameSize;
}

std::size_t BuildCompletion(std::span<std::uint8_t> out) {
  PutHeader(out, kCmdComplete);
  return kShortFrameSize;
}

std::size_t BuildBlockWrite(std::span<std::uint8_t> out, unsigned block,
                            std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  assert(n >= 1 && n <= kBlockSize && out.size() >= n + kBlockOverhead);
  PutHeader(out, kCmdWrite);
  out[4] = static_cast<std::uint8_t>(n >> 8);
  out[5] = static_cast<std::uint8_t>(n & 0xFF);
  out[6] = static_cast<std::uint8_t>(block & 0xFF);
  std::copy(data.begin(), data.end(), out.begin() + kDataOffset);
  out[kDataOffset + n] = BlockChecksum(data);
  return n + kBlockOverhead;
}

std::size_t BuildBlockRead(std::span<std::uint8_t> out, unsigned block, std::size_t n) {
  PutHeader(out, kCmdRead);
  out[4] = static_cast<std::uint8_t>(n >> 8);
  out[5] = static_cast<std::uint8_t>(n & 0xFF);
  out[6] = static_cast<std::uint8_t>(block & 0xFF);
  return kReadRequestSize;
}

bool IsGreetingEcho(std::span<const std::uint8_t, kShortReplySize> reply) {
  return IsShortReply(reply, kCmdGreeting);
}

bool IsWriteAck(std::span<const std::uint8_t, kShortReplySize> reply) {
  return IsShortReply(reply, kCmdWrite);
}

bool IsBlockReadReply(std::span<const std::uint8_t> reply, unsigned block) {
  return reply.size() >= kDataOffset && HasHeader(reply, kCmdRead) && reply[6] == block;
}

}  // namespace quento::protocol
