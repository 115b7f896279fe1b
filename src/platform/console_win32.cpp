#include <windows.h>

#include <algorithm>
#include <array>
#include <streambuf>

#include "platform/console.h"
#include "platform/utf16.h"

namespace quento::platform {
namespace {

// Bytes of a UTF-8 sequence that starts with `lead`; 1 for anything that cannot start one, which
// the conversion then replaces on its own.
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// The standard handle written straight, past the C runtime: a console as UTF-16, anything else
// as the very bytes given (no code page conversion, no "\r" added).
class HandleBuffer final : public std::streambuf {
 public:
  explicit HandleBuffer(DWORD which) : m_handle(::GetStdHandle(which)) {
    DWORD mode = 0;
    m_console = ::GetConsoleMode(m_handle, &mode) != 0;
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
  }
  ~HandleBuffer() override { Write(true); }

 protected:
  int_type overflow(int_type c) override {
    if (!Write(false)) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Write(false) ? 0 : -1; }

 private:
  // Writes what is buffered. On a console a character's first bytes wait for the rest unless
  // `all`: converted alone, they would show as two replacement characters.
  bool Write(bool all) {
    const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    std::size_t ready = size;
    if (m_console && !all) {
      for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(pbase()[size - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        if (SequenceLength(byte) > back) ready = size - back;
        break;
      }
    }
    const bool written = m_console ? WriteConsole(std::string_view(pbase(), ready))
                                   : WriteBytes(std::string_view(pbase(), ready));
    std::copy(pbase() + ready, pptr(), m_buffer.data());
    setp(m_buffer.data(), m_buffer.data() + m_buffer.size());
    pbump(static_cast<int>(size - ready));
    return written;
  }

  bool WriteConsole(std::string_view utf8) const {
    const std::wstring text = Widen(utf8);
    return WriteAll(text.data(), text.size(), [&](const wchar_t* from, DWORD size, DWORD* n) {
      return ::WriteConsoleW(m_handle, from, size, n, nullptr);
    });
  }

  bool WriteBytes(std::string_view bytes) const {
    return WriteAll(bytes.data(), bytes.size(), [&](const char* from, DWORD size, DWORD* n) {
      return ::WriteFile(m_handle, from, size, n, nullptr);
    });
  }

  // Calls `write` until all `size` characters are out: either call may take only part of them.
  // False when a write fails or takes nothing, which would otherwise repeat for ever.
  template <typename Char, typename Write>
  static bool WriteAll(const Char* data, std::size_t size, Write write) {
    for (std::size_t done = 0; done < size;) {
      DWORD n = 0;
      if (!write(data + done, static_cast<DWORD>(size - done), &n) || n == 0) return false;
      done += n;
    }
    return true;
  }

  HANDLE m_handle;
  bool m_console = false;
  std::array<char, 4096> m_buffer{};
};

}  // namespace

ConsoleView StandardOutputView() {
  ConsoleView view;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(out, &mode)) return view;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
      !::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return view;  // a console from before Windows 10: plain lines
  }
  view.terminal = true;
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(out, &info)) {
    view.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    view.columns = info.srWindow.Right - info.srWindow.Left + 1;
  }
  return view;
}

std::ostream& StandardOutput() {
  static HandleBuffer buffer(STD_OUTPUT_HANDLE);
  static std::ostream stream(&buffer);
  return stream;
}

std::ostream& StandardError() {
  static HandleBuffer buffer(STD_ERROR_HANDLE);
  static std::ostream stream(&buffer);
  stream.setf(std::ios::unitbuf);  // as std::cerr: every message out at once
  return stream;
}

}  // namespace quento::platform
