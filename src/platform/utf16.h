// The programs speak UTF-8; the Windows API speaks UTF-16. Windows only.
#pragma once

#include <string>
#include <string_view>

namespace quento::platform {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view text);

}  // namespace quento::platform
