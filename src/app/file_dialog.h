// The system's file-open dialog as Browse uses it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quento::app {

// Filter in the "Name|pattern|Name|pattern||" form. The second space is U+3000, as the
// operators have always seen it.
inline constexpr std::wstring_view kFirmwareFilter =
    L"Source \u3000Files(*.bin)|*.bin|Head Files(*.bin)|*.bin||";

// Selections whose names do not fit are refused by the dialog rather than cut.
inline constexpr DWORD kSelectionChars = 5200;

// (name, pattern) pairs of a filter.
std::vector<std::pair<std::wstring, std::wstring>> ParseFilter(std::wstring_view filter);

// Lets the operator pick one or more files; returns the full path of the last one, or an empty
// path when the dialog is cancelled or fails.
std::wstring ChooseFirmwareFile(HWND owner);

}  // namespace quento::app
