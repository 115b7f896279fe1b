// Reading a whole file as raw bytes, with the platform's sharing rules; writing a new one; paths
// as the programs' UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quento::platform {

enum class FileRead { kOk, kMissing, kUnreadable, kTooLarge };

// Reads the file at `path` whole into `out`. Nothing at the path (or an empty path) is kMissing;
// something that cannot be opened or read as a file (a directory, no permission, locked by
// another program) is kUnreadable; more than `limit` bytes is kTooLarge. On Windows the file is
// opened with sharing denied, so a program that holds it open makes the read fail.
FileRead ReadWholeFile(const std::filesystem::path& path, std::size_t limit,
                       std::vector<std::uint8_t>& out);

enum class FileWrite { kOk, kExists, kFailed };

// Creates the file at `path` holding `bytes`. They are written to PATH.part in the same folder
// first, which takes the final name only once complete: a write that fails leaves neither file.
// A file already at either name is never replaced (kExists). kFailed sets `error` to the
// system's reason.
FileWrite WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string& error);

// A file opened for appending only: every write lands at its end, whoever else appends to it, so
// two programs that keep one record file never write over each other's lines.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens the file at `path`, creating it when missing. False sets `error` to the system's reason.
  bool Open(const std::filesystem::path& path, std::string& error);
  // This open made the file: it was not there before.
  bool created() const { return m_created; }
  // Writes `bytes` at the end in one call (another only for what a short write left). False sets
  // `error` to the system's reason; `written`, when given, is how many of them went in all the
  // same (a full disk can take the start of them).
  bool Append(std::string_view bytes, std::string& error, std::size_t* written = nullptr);

 private:
  std::intptr_t m_handle = -1;
  bool m_created = false;
};

// What stands at `path` when it cannot be taken for a file, told without opening it (opening a
// FIFO waits for its other end): "a directory", "a FIFO" and the like. Empty for a regular file,
// for nothing at all (the open says what is wrong) and, when `devices`, for a character device
// such as /dev/null.
inline std::string NotAFile(const std::filesystem::path& path, bool devices) {
  std::error_code ignored;
  switch (std::filesystem::status(path, ignored).type()) {
    case std::filesystem::file_type::directory:
      return "a directory";
    case std::filesystem::file_type::fifo:
      return "a FIFO";
    case std::filesystem::file_type::socket:
      return "a socket";
    case std::filesystem::file_type::block:
      return "a block device";
    case std::filesystem::file_type::character:
      return devices ? "" : "a character device";
    default:
      return "";
  }
}

// A path from UTF-8 text and back. Never std::filesystem::path(std::string) or path.string():
// on Windows they take the ANSI code page, in which Chinese names are lost.
inline std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace quento::platform
