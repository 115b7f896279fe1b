#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/system_text.h"

namespace quento::platform {

FileRead ReadWholeFile(const std::filesystem::path& path, std::size_t limit,
                       std::vector<std::uint8_t>& out) {
  out.clear();
  if (path.empty()) return FileRead::kMissing;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? FileRead::kMissing : FileRead::kUnreadable;
  }
  if (!S_ISREG(st.st_mode)) return FileRead::kUnreadable;
  if (static_cast<std::uintmax_t>(st.st_size) > limit) return FileRead::kTooLarge;

  // O_NONBLOCK: should the path have been swapped for a FIFO since the stat, the open must
  // not hang the download.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return FileRead::kUnreadable;
  // Read one byte past the limit so that a file that grew since the stat is still refused.
  out.resize(limit + 1);
  std::size_t got = 0;
  FileRead status = FileRead::kOk;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = FileRead::kUnreadable;
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (status == FileRead::kOk && got > limit) status = FileRead::kTooLarge;
  if (status != FileRead::kOk) {
    out.clear();
    return status;
  }
  out.resize(got);
  return FileRead::kOk;
}

FileWrite WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) return FileWrite::kExists;
  if (fd < 0) {
    error = SystemMessage(std::error_code(errno, std::generic_category()));
    return FileWrite::kFailed;
  }
  bool written = true;
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? SystemMessage(std::error_code(errno, std::generic_category()))
                    : "nothing written";
      written = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && written) {
    error = SystemMessage(std::error_code(errno, std::generic_category()));
    written = false;
  }
  return written ? FileWrite::kOk : FileWrite::kFailed;
}

namespace {

std::string LastError() { return SystemMessage(std::error_code(errno, std::generic_category())); }

}  // namespace

AppendFile::~AppendFile() {
  if (m_handle >= 0) ::close(static_cast<int>(m_handle));
}

bool AppendFile::Open(const std::filesystem::path& path, std::string& error) {
  // Created here, or opened as it is: which of the two decides who writes a header.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  m_created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    error = LastError();
    return false;
  }
  m_handle = fd;
  return true;
}

bool AppendFile::Append(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(static_cast<int>(m_handle), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? LastError() : "nothing written";
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace quento::platform
