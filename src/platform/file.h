// Reading a whole file as raw bytes, with the platform's sharing rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace quento::platform {

enum class FileRead { kOk, kMissing, kUnreadable, kTooLarge };

// Reads the file at `path` whole into `out`. Nothing at the path (or an empty path) is kMissing;
// something that cannot be opened or read as a file (a directory, no permission, locked by
// another program) is kUnreadable; more than `limit` bytes is kTooLarge. On Windows the file is
// opened with sharing denied, so a program that holds it open makes the read fail.
FileRead ReadWholeFile(const std::filesystem::path& path, std::size_t limit,
                       std::vector<std::uint8_t>& out);

}  // namespace quento::platform
