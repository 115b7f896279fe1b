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

std::size_t PutShortReply(std::span<std::uint8_t> out, std::uint8_t command, std::uint8_t status) {
  PutHeader(out, command);
  out[4] = 0;
  out[5] = status;
  return kShortReplySize;
}

// Header, 16-bit length and index: the first seven bytes of block frames and read replies.
void PutBlockHeader(std::span<std::uint8_t> out, std::uint8_t command, unsigned block,
                    std::size_t n) {
  PutHeader(out, command);
  out[4] = static_cast<std::uint8_t>(n >> 8);
  out[5] = static_cast<std::uint8_t>(n & 0xFF);
  out[6] = static_cast<std::uint8_t>(block & 0xFF);
}

std::size_t PutBlock(std::span<std::uint8_t> out, std::uint8_t command, unsigned block,
                     std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  assert(n >= 1 && n <= kBlockSize && out.size() >= n + kBlockOverhead);
  PutBlockHeader(out, command, block, n);
  std::copy(data.begin(), data.end(), out.begin() + kDataOffset);
  out[kDataOffset + n] = BlockChecksum(data);
  return n + kBlockOverhead;
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
  return PutBlock(out, kCmdWrite, block, data);
}

std::size_t BuildBlockRead(std::span<std::uint8_t> out, unsigned block, std::size_t n) {
  PutBlockHeader(out, kCmdRead, block, n);
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

std::size_t BuildGreetingEcho(std::span<std::uint8_t> out) {
  return PutShortReply(out, kCmdGreeting, 0);
}

std::size_t BuildWriteAck(std::span<std::uint8_t> out) { return PutShortReply(out, kCmdWrite, 0); }

std::size_t BuildRefusal(std::span<std::uint8_t> out, std::uint8_t command) {
  return PutShortReply(out, command, 1);
}

std::size_t BuildBlockReadReply(std::span<std::uint8_t> out, unsigned block,
                                std::span<const std::uint8_t> data) {
  return PutBlock(out, kCmdRead, block, data);
}

}  // namespace quento::protocol
