// The system's file-open dialog as Browse uses it.
#pragma once

#include <windows.h>

#include <string>

namespace quento::app {

// Selections whose names do not fit are refused by the dialog rather than cut.
inline constexpr DWORD kSelectionChars = 5200;

// Lets the operator pick one or more files; returns the full path of the last one, or an empty
// path when the dialog is cancelled or fails.
std::wstring ChooseFirmwareFile(HWND owner);

}  // namespace quento::app
