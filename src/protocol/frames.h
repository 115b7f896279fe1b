// The wire format, both ways: the frames the tool sends and the tests applied to the device's
// replies, and the replies a device sends. Pure functions over byte buffers: no socket, no clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "image/firmware_image.h"

namespace quento::protocol {

inline constexpr std::uint8_t kPreamble[3] = {0x12, 0x34, 0x56};
inline constexpr std::uint8_t kCmdGreeting = 0x7B;
inline constexpr std::uint8_t kCmdWrite = 0x78;
inline constexpr std::uint8_t kCmdRead = 0x79;
inline constexpr std::uint8_t kCmdComplete = 0x7A;

using image::kBlockSize;
using image::kMaxBlocks;
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kShortFrameSize = 4;  // greeting, completion
inline constexpr std::size_t kShortReplySize = 6;  // greeting echo, write acknowledgement
inline constexpr std::size_t kReadRequestSize = 7;
inline constexpr std::size_t kBlockOverhead = 8;  // header, length, index, checksum
inline constexpr std::size_t kMaxFrameSize = kBlockSize + kBlockOverhead;
inline constexpr std::size_t kDataOffset = 7;

// Sum of the bytes modulo 256: the block checksum.
std::uint8_t BlockChecksum(std::span<const std::uint8_t> data);

// Each builder writes into `out` (which must be large enough) and returns the frame's size.
std::size_t BuildGreeting(std::span<std::uint8_t> out);
std::size_t BuildCompletion(std::span<std::uint8_t> out);
// `data` holds the block's n masked bytes, 1 <= n <= 1024; returns 8 + n.
std::size_t BuildBlockWrite(std::span<std::uint8_t> out, unsigned block,
                            std::span<const std::uint8_t> data);
std::size_t BuildBlockRead(std::span<std::uint8_t> out, unsigned block, std::size_t n);

// Reply tests. Each reads the reply's whole fixed size, whatever actually arrived.
bool IsGreetingEcho(std::span<const std::uint8_t, kShortReplySize> reply);
bool IsWriteAck(std::span<const std::uint8_t, kShortReplySize> reply);
// Preamble, command 0x79 and index byte equal to `block`; length and checksum are not examined.
bool IsBlockReadReply(std::span<const std::uint8_t> reply, unsigned block);

constexpr std::size_t BlockReadReplySize(std::size_t n) { return n + kBlockOverhead; }

// The device's side. Each writes into `out` and returns the reply's size.
std::size_t BuildGreetingEcho(std::span<std::uint8_t> out);
std::size_t BuildWriteAck(std::span<std::uint8_t> out);
// 12 34 56 CMD 00 01: what a device answers a frame it refuses.
std::size_t BuildRefusal(std::span<std::uint8_t> out, std::uint8_t command);
// Header, length n, index, the n bytes of `data`, their checksum: returns 8 + n.
std::size_t BuildBlockReadReply(std::span<std::uint8_t> out, unsigned block,
                                std::span<const std::uint8_t> data);

}  // namespace quento::protocol
