#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

namespace {

std::string Errno() { return SystemMessage(std::error_code(errno, std::generic_category())); }

// Gives the complete file at `from` the name `to` unless something has that name already.
// rename() would replace it; renameat2 can refuse, where the file system knows how, and link()
// refuses everywhere else that has hard links.
FileWrite NameWithoutReplacing(const char* from, const char* to, std::string& error) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return FileWrite::kOk;
  if (errno == EEXIST) return FileWrite::kExists;
  if (errno != EINVAL && errno != ENOSYS) {
    error = Errno();
    return FileWrite::kFailed;
  }
#endif
  if (::link(from, to) != 0) {
    if (errno == EEXIST) return FileWrite::kExists;
    error = Errno();
    return FileWrite::kFailed;
  }
  ::unlink(from);
  return FileWrite::kOk;
}

}  // namespace

FileWrite WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string& error) {
  struct stat st {};
  // Only saves writing the bytes for nothing: the naming below is what never replaces a file.
  if (::lstat(path.c_str(), &st) == 0) return FileWrite::kExists;
  // Written under a name of its own first: a write cut short (disk full) must not leave a
  // truncated file under a name that looks like a complete image.
  std::filesystem::path partial = path;
  partial += ".part";
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  // Another writer's, or left by one that died: the name is taken either way.
  if (fd < 0 && errno == EEXIST) return FileWrite::kExists;
  if (fd < 0) {
    error = Errno();
    return FileWrite::kFailed;
  }
  bool written = true;
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? Errno() : "nothing written";
      written = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // Some file systems (NFS) report a failed write only when the file is closed.
  if (::close(fd) != 0 && written) {
    error = Errno();
    written = false;
  }
  const FileWrite result =
      written ? NameWithoutReplacing(partial.c_str(), path.c_str(), error) : FileWrite::kFailed;
  if (result != FileWrite::kOk) ::unlink(partial.c_str());
  return result;
}

AppendFile::~AppendFile() {
  if (m_handle >= 0) ::close(static_cast<int>(m_handle));
}

bool AppendFile::Open(const std::filesystem::path& path, std::string& error) {
  // Created here, or opened as it is: which of the two decides who writes a header.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  m_created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    error = Errno();
    return false;
  }
  m_handle = fd;
  return true;
}

bool AppendFile::Append(std::string_view bytes, std::string& error, std::size_t* written) {
  if (written != nullptr) *written = 0;
  while (!bytes.empty()) {
    const ssize_t n = ::write(static_cast<int>(m_handle), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? Errno() : "nothing written";
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
    if (written != nullptr) *written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace quento::platform
