// The firmware image: the file's bytes, their division into 1024-byte blocks, and the mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace quento::image {

inline constexpr std::uint8_t kMask = 0xA7;
inline constexpr std::size_t kBlockSize = 1024;
// The block index travels as one byte, so 256 blocks is the most a download can carry.
inline constexpr std::size_t kMaxBlocks = 256;
inline constexpr std::size_t kMaxImageSize = kMaxBlocks * kBlockSize;

struct BlockLayout {
  std::int32_t blockCount = 0;
  std::int32_t lastBlockSize = 0;  // 1..1024 when blockCount >= 1, else 0
};

// Block arithmetic for a file of `length` bytes.
constexpr BlockLayout LayoutFor(std::int32_t length) {
  const std::int32_t block = static_cast<std::int32_t>(kBlockSize);
  BlockLayout layout;
  layout.blockCount = length / block + (length % block != 0 ? 1 : 0);
  layout.lastBlockSize = layout.blockCount > 0 ? length - block * (layout.blockCount - 1) : 0;
  return layout;
}

struct BlockView {
  std::size_t offset = 0;
  std::size_t size = 0;
};

// XORs every byte with the mask, in place. Masking and unmasking are the same step: the device
// and the tests undo with it what the download did.
void ApplyMask(std::span<std::uint8_t> bytes);

// The image record: owned by one download, masked in place once before any frame is built.
class FirmwareImage {
 public:
  FirmwareImage() = default;
  explicit FirmwareImage(std::vector<std::uint8_t> bytes);

  std::int32_t fileLength() const { return m_fileLength; }
  std::int32_t blockCount() const { return m_layout.blockCount; }
  std::int32_t lastBlockSize() const { return m_layout.lastBlockSize; }

  BlockView Block(std::int32_t index) const;
  std::span<const std::uint8_t> BlockData(std::int32_t index) const;
  std::span<const std::uint8_t> bytes() const { return m_bytes; }

  // XOR every byte with the mask, in place.
  void Mask();

 private:
  std::vector<std::uint8_t> m_bytes;
  std::int32_t m_fileLength = 0;
  BlockLayout m_layout;
};

enum class LoadStatus { kOk, kMissing, kUnreadable, kTooLarge };

struct LoadResult {
  LoadStatus status = LoadStatus::kMissing;
  FirmwareImage image;  // unmasked; empty unless status is kOk
};

// Reads the file whole. Files over kMaxImageSize are refused rather than truncated.
LoadResult LoadFirmware(const std::filesystem::path& path);

}  // namespace quento::image
