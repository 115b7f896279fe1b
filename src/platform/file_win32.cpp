#include <windows.h>

#include <system_error>

#include "platform/file.h"
#include "platform/system_text.h"

namespace quento::platform {

FileRead ReadWholeFile(const std::filesystem::path& path, std::size_t limit,
                       std::vector<std::uint8_t>& out) {
  out.clear();
  if (path.empty()) return FileRead::kMissing;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? FileRead::kMissing
                                                                            : FileRead::kUnreadable;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileRead::kUnreadable;

  // Sharing denied while the file is open: a conflicting open elsewhere makes this one fail.
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FileRead::kUnreadable;
  LARGE_INTEGER size{};
  FileRead status = FileRead::kOk;
  if (!::GetFileSizeEx(file, &size)) {
    status = FileRead::kUnreadable;
  } else if (static_cast<unsigned long long>(size.QuadPart) > limit) {
    status = FileRead::kTooLarge;
  } else {
    out.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t got = 0;
    while (got < out.size()) {
      DWORD n = 0;
      if (!::ReadFile(file, out.data() + got, static_cast<DWORD>(out.size() - got), &n, nullptr)) {
        status = FileRead::kUnreadable;
        break;
      }
      if (n == 0) break;
      got += n;
    }
    // No one else can write while we hold it unshared, so a short read is a read error.
    if (status == FileRead::kOk && got != out.size()) status = FileRead::kUnreadable;
  }
  ::CloseHandle(file);
  if (status != FileRead::kOk) out.clear();
  return status;
}

namespace {

std::string Message(DWORD code) {
  return SystemMessage(std::error_code(static_cast<int>(code), std::system_category()));
}

}  // namespace

FileWrite WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       std::string& error) {
  // Only saves writing the bytes for nothing: the move below is what never replaces a file.
  if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return FileWrite::kExists;
  // Written under a name of its own first: a write cut short (disk full) must not leave a
  // truncated file under a name that looks like a complete image.
  std::filesystem::path partial = path;
  partial += L".part";
  HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // Another writer's, or left by one that died: the name is taken either way.
    if (code == ERROR_FILE_EXISTS) return FileWrite::kExists;
    error = Message(code);
    return FileWrite::kFailed;
  }
  bool written = true;
  for (std::size_t done = 0; done < bytes.size();) {
    DWORD n = 0;
    if (!::WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                     nullptr) ||
        n == 0) {
      error = Message(::GetLastError());
      written = false;
      break;
    }
    done += n;
  }
  if (!::CloseHandle(file) && written) {
    error = Message(::GetLastError());
    written = false;
  }
  FileWrite result = written ? FileWrite::kOk : FileWrite::kFailed;
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that is taken.
  if (written && !::MoveFileExW(partial.c_str(), path.c_str(), 0)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
      result = FileWrite::kExists;
    } else {
      error = Message(code);
      result = FileWrite::kFailed;
    }
  }
  if (result != FileWrite::kOk) ::DeleteFileW(partial.c_str());
  return result;
}

AppendFile::~AppendFile() {
  if (m_handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool AppendFile::Open(const std::filesystem::path& path, std::string& error) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at the end, so no
  // other program appending to the same file can be overwritten.
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = Message(::GetLastError());
    return false;
  }
  m_created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  m_handle = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool AppendFile::Append(std::string_view bytes, std::string& error, std::size_t* written) {
  if (written != nullptr) *written = 0;
  while (!bytes.empty()) {
    DWORD n = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(m_handle), bytes.data(),
                     static_cast<DWORD>(bytes.size()), &n, nullptr)) {
      error = Message(::GetLastError());
      return false;
    }
    if (n == 0) {
      error = "nothing written";
      return false;
    }
    bytes.remove_prefix(n);
    if (written != nullptr) *written += n;
  }
  return true;
}

}  // namespace quento::platform
