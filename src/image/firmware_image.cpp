#include "image/firmware_image.h"

#include "platform/file.h"

namespace quento::image {

FirmwareImage::FirmwareImage(std::vector<std::uint8_t> bytes)
    : m_bytes(std::move(bytes)),
      m_fileLength(static_cast<std::int32_t>(m_bytes.size())),
      m_layout(LayoutFor(m_fileLength)) {}

BlockView FirmwareImage::Block(std::int32_t index) const {
  const std::size_t size = index == m_layout.blockCount - 1
                               ? static_cast<std::size_t>(m_layout.lastBlockSize)
                               : kBlockSize;
  return {static_cast<std::size_t>(index) * kBlockSize, size};
}

std::span<const std::uint8_t> FirmwareImage::BlockData(std::int32_t index) const {
  const BlockView view = Block(index);
  return std::span<const std::uint8_t>(m_bytes).subspan(view.offset, view.size);
}

void ApplyMask(std::span<std::uint8_t> bytes) {
  for (std::uint8_t& b : bytes) b ^= kMask;
}

void FirmwareImage::Mask() { ApplyMask(m_bytes); }

LoadResult LoadFirmware(const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes;
  switch (platform::ReadWholeFile(path, kMaxImageSize, bytes)) {
    case platform::FileRead::kOk:
      return {LoadStatus::kOk, FirmwareImage(std::move(bytes))};
    case platform::FileRead::kMissing:
      return {LoadStatus::kMissing, {}};
    case platform::FileRead::kTooLarge:
      return {LoadStatus::kTooLarge, {}};
    case platform::FileRead::kUnreadable:
      break;
  }
  return {LoadStatus::kUnreadable, {}};
}

}  // namespace quento::image
