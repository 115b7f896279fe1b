// Frames sent to the device and the tests applied to its replies. Pure functions over byte
// buffers: no socket, no clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quento::protocol {

inline constexpr std::uint8_t kPreamble[3] = {0x12, 0x34, 0x56};
inline constexpr std::uint8_t kCmdGreeting = 0x7B;
inline constexpr std::uint8_t kCmdWrite = 0x78;
inline constexpr std::uint8_t kCmdRead = 0x79;
inline constexpr std::uint8_t kCmdComplete = 0x7A;

inline constexpr std::size_t kBlockSize = 1024;
inline constexpr std::size_t kMaxBlocks = 256;
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

}  // namespace quento::protocol
