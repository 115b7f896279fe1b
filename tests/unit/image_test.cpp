#include <gtest/gtest.h>

#include <fstream>

#include "image/firmware_image.h"
#include "support/temp_dir.h"

namespace quento::image {
namespace {

struct Layout {
  std::int32_t length, blocks, last;
};

class BlockArithmetic : public ::testing::TestWithParam<Layout> {};

TEST_P(BlockArithmetic, CountsBlocksAndLastBlockSize) {
  const Layout expected = GetParam();
  FirmwareImage image(std::vector<std::uint8_t>(static_cast<std::size_t>(expected.length)));
  EXPECT_EQ(image.block_count(), expected.blocks);
  EXPECT_EQ(image.last_block_size(), expected.last);
  if (expected.blocks > 0) {
    const BlockView last = image.Block(expected.blocks - 1);
    EXPECT_EQ(last.offset, 1024u * static_cast<std::size_t>(expected.blocks - 1));
    EXPECT_EQ(last.size, static_cast<std::size_t>(expected.last));
    EXPECT_EQ(last.offset + last.size, static_cast<std::size_t>(expected.length));
  }
}

INSTANTIATE_TEST_SUITE_P(EdgeLengths, BlockArithmetic,
                         ::testing::Values(Layout{0, 0, 0}, Layout{1, 1, 1}, Layout{1023, 1, 1023},
                                           Layout{1024, 1, 1024}, Layout{1025, 2, 1},
                                           Layout{2048, 2, 1024}, Layout{262144, 256, 1024}));

TEST(Mask, XorsEveryByteWithA7Once) {
  FirmwareImage image({0x00, 0xA7, 0xFF, 0x58});
  image.Mask();
  EXPECT_EQ(std::vector<std::uint8_t>(image.bytes().begin(), image.bytes().end()),
            (std::vector<std::uint8_t>{0xA7, 0x00, 0x58, 0xFF}));
}

TEST(Mask, BlockDataIsTheMaskedSliceOfTheImage) {
  std::vector<std::uint8_t> bytes(1030);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  FirmwareImage image(bytes);
  image.Mask();
  const auto second = image.BlockData(1);
  ASSERT_EQ(second.size(), 6u);
  EXPECT_EQ(second[0], static_cast<std::uint8_t>(1024 % 256) ^ kMask);
}

class Loading : public ::testing::Test {
 protected:
  testing::TempDir dir;
};

TEST_F(Loading, ReadsTheFileWholeAndLeavesItUnchanged) {
  const auto path = dir.Write("fw.bin", std::string(1500, 'x'));
  LoadResult result = LoadFirmware(path);
  ASSERT_EQ(result.status, LoadStatus::kOk);
  EXPECT_EQ(result.image.file_length(), 1500);
  EXPECT_EQ(result.image.bytes()[1499], 'x');
  EXPECT_EQ(dir.Read("fw.bin"), std::string(1500, 'x'));
}

TEST_F(Loading, EmptyPathAndAbsentFileAreMissing) {
  EXPECT_EQ(LoadFirmware("").status, LoadStatus::kMissing);
  EXPECT_EQ(LoadFirmware(dir.path() / "absent.bin").status, LoadStatus::kMissing);
}

TEST_F(Loading, DirectoryIsUnreadable) {
  EXPECT_EQ(LoadFirmware(dir.path()).status, LoadStatus::kUnreadable);
}

TEST_F(Loading, LargestImageLoadsAndOneByteMoreIsRefused) {
  EXPECT_EQ(LoadFirmware(dir.Write("max.bin", std::string(262144, 'a'))).status, LoadStatus::kOk);
  EXPECT_EQ(LoadFirmware(dir.Write("big.bin", std::string(262145, 'a'))).status,
            LoadStatus::kTooLarge);
}

TEST_F(Loading, EmptyFileIsAnEmptyImage) {
  LoadResult result = LoadFirmware(dir.Write("empty.bin", ""));
  ASSERT_EQ(result.status, LoadStatus::kOk);
  EXPECT_EQ(result.image.block_count(), 0);
}

}  // namespace
}  // namespace quento::image
