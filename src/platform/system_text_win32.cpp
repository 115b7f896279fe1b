// Asio brings Windows Sockets, which must come before windows.h.
// clang-format off
#include <asio/error.hpp>
#include <windows.h>
// clang-format on

#include "platform/system_text.h"
#include "platform/utf16.h"

namespace quento::platform {

std::string SystemMessage(const std::error_code& error) {
  // The system's and Windows Sockets' codes (Asio keeps a category of its own for them): their
  // text in UTF-16, never the ANSI code page that message() takes. Other categories (Asio's end
  // of stream, the C runtime's errno) speak for themselves.
  if (error.category() != std::system_category() &&
      error.category() != asio::error::get_system_category()) {
    return ValidUtf8(error.message());
  }
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error.value()), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring_view words(text, text != nullptr ? length : 0);
  // FormatMessage ends its sentences with a line end; the full stop is the system's own.
  while (!words.empty() &&
         (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ')) {
    words.remove_suffix(1);
  }
  std::string message = words.empty() ? "error " + std::to_string(error.value()) : Narrow(words);
  if (text != nullptr) ::LocalFree(text);
  return message;
}

}  // namespace quento::platform
