// The core speaks UTF-8; the window speaks UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace quento::app {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view text);

}  // namespace quento::app
