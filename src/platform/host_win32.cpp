#include <windows.h>

#include "platform/host.h"

namespace quento::platform {

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = sizeof name / sizeof name[0];
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size) || size == 0) return {};
  const int length = static_cast<int>(size);
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, name, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, name, length, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace quento::platform
