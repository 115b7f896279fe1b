#include "window_driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace quento::wine {
namespace {

constexpr UINT kAnswerWait = 5000;  // ms; the window's thread may sit in a 1 s receive

std::wstring Environment(const wchar_t* name) {
  std::wstring value(32767, L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return value;
}

LRESULT Ask(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, kAnswerWait,
                             &result)) {
    return -1;
  }
  return static_cast<LRESULT>(result);
}

bool IsExclamationYellow(std::uint32_t pixel) {
  const int r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
  return r >= 200 && g >= 160 && b <= 100;
}

struct EnumState {
  HWND owner;
  std::vector<HWND> found;
};

}  // namespace

const SuiteConfig& SuiteConfig::Get() {
  static const SuiteConfig config = [] {
    SuiteConfig c;
    c.quentoExe = Environment(L"QUENTO_EXE");
    c.device = Narrow(Environment(L"QUENTO_DEVICE"));
    c.silentDevice = Narrow(Environment(L"QUENTO_SILENT_DEVICE"));
    c.absentDevice = Narrow(Environment(L"QUENTO_ABSENT_DEVICE"));
    c.deviceLog = Environment(L"QUENTO_DEVICE_LOG");
    c.workDir = Environment(L"QUENTO_WORK_DIR");
    return c;
  }();
  return config;
}

std::wstring TextOf(HWND window) {
  if (window == nullptr) return {};
  const LRESULT length = Ask(window, WM_GETTEXTLENGTH);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT got = Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  return name;
}

bool Enabled(HWND window) { return window != nullptr && ::IsWindowEnabled(window); }

bool Click(HWND button) {
  if (!Enabled(button)) return false;
  return ::PostMessageW(button, BM_CLICK, 0, 0) != 0;
}

std::vector<HWND> OwnedDialogs(HWND owner) {
  EnumState state{owner, {}};
  ::EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<EnumState*>(data);
        if (::IsWindowVisible(window) && ::GetWindow(window, GW_OWNER) == s->owner &&
            ClassOf(window) == L"#32770") {
          s->found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&state));
  return state.found;
}

HWND FindDescendant(HWND parent, int id) {
  struct Search {
    int id;
    HWND found;
  } search{id, nullptr};
  ::EnumChildWindows(
      parent,
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (::GetDlgCtrlID(window) != s->id) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<std::uint32_t> CaptureScreen(const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  std::vector<std::uint32_t> pixels;
  if (width <= 0 || height <= 0) return pixels;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    ::GdiFlush();
    const auto* p = static_cast<const std::uint32_t*>(bits);
    pixels.assign(p, p + static_cast<std::size_t>(width) * height);
    for (auto& pixel : pixels) pixel &= 0x00FFFFFF;
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
  }
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

bool SaveBitmap(const std::wstring& path, const RECT& area) {
  const std::vector<std::uint32_t> pixels = CaptureScreen(area);
  if (pixels.empty()) return false;
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = area.right - area.left;
  header.biHeight = -(area.bottom - area.top);
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;
  const DWORD data = static_cast<DWORD>(pixels.size() * sizeof(std::uint32_t));
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + data;
  FILE* out = ::_wfopen(path.c_str(), L"wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
            std::fwrite(&header, sizeof header, 1, out) == 1 &&
            std::fwrite(pixels.data(), data, 1, out) == 1;
  ok = std::fclose(out) == 0 && ok;
  return ok;
}

void PressKeys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  for (WORD key : keys) {
    INPUT down{};
    down.type = INPUT_KEYBOARD;
    down.ki.wVk = key;
    INPUT up = down;
    up.ki.dwFlags = KEYEVENTF_KEYUP;
    inputs.push_back(down);
    inputs.push_back(up);
  }
  ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void MouseClick(HWND window) {
  RECT area;
  ::GetWindowRect(window, &area);
  ::SetCursorPos(area.left + 6, (area.top + area.bottom) / 2);
  INPUT clicks[2]{};
  clicks[0].type = clicks[1].type = INPUT_MOUSE;
  clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ::SendInput(2, clicks, sizeof(INPUT));
}

QuentoProcess::~QuentoProcess() {
  if (m_info.hProcess == nullptr) return;
  if (Running()) {
    ::TerminateProcess(m_info.hProcess, 1);
    ::WaitForSingleObject(m_info.hProcess, 10000);
  }
  ::CloseHandle(m_info.hThread);
  ::CloseHandle(m_info.hProcess);
}

bool QuentoProcess::Start() {
  const SuiteConfig& config = SuiteConfig::Get();
  std::wstring commandLine = L"\"" + config.quentoExe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!::CreateProcessW(config.quentoExe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, config.workDir.empty() ? nullptr : config.workDir.c_str(),
                        &startup, &m_info)) {
    return false;
  }
  struct Search {
    DWORD pid;
    HWND found;
  } search{m_info.dwProcessId, nullptr};
  WaitUntil([&] {
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          DWORD pid = 0;
          ::GetWindowThreadProcessId(window, &pid);
          if (pid != s->pid || !::IsWindowVisible(window) || ClassOf(window) != L"#32770" ||
              ::GetWindow(window, GW_OWNER) != nullptr) {
            return TRUE;
          }
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found != nullptr || !Running();
  });
  m_window = search.found;
  return m_window != nullptr;
}

bool QuentoProcess::Running() const {
  return m_info.hProcess != nullptr && ::WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

bool QuentoProcess::WaitExit(std::chrono::milliseconds limit) {
  return ::WaitForSingleObject(m_info.hProcess, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

int QuentoProcess::ProgressPos() const { return static_cast<int>(Ask(Item(1008), PBM_GETPOS)); }

int QuentoProcess::ProgressUpper() const {
  return static_cast<int>(Ask(Item(1008), PBM_GETRANGE, FALSE, 0));
}

void QuentoProcess::SetAddress(std::string_view dotted) const {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(std::string(dotted).c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
  Ask(Item(1000), IPM_SETADDRESS, 0, MAKEIPADDRESS(a, b, c, d));
}

std::optional<MessageBoxView> QuentoProcess::CurrentMessageBox() const {
  for (HWND dialog : OwnedDialogs(m_window)) {
    HWND text = ::GetDlgItem(dialog, 0xFFFF);
    if (text == nullptr) continue;
    MessageBoxView view;
    view.hwnd = dialog;
    view.caption = TextOf(dialog);
    view.text = TextOf(text);
    return view;
  }
  return std::nullopt;
}

std::optional<MessageBoxView> QuentoProcess::TakeMessageBox(std::chrono::milliseconds limit) const {
  std::optional<MessageBoxView> box;
  if (!WaitUntil([&] { return (box = CurrentMessageBox()).has_value(); }, limit)) return box;
  // The icon is judged by its colour on screen; give the box time to paint.
  if (HWND icon = ::GetDlgItem(box->hwnd, 1088)) {
    box->exclamation = WaitUntil(
        [&] {
          RECT area;
          ::GetWindowRect(icon, &area);
          int yellow = 0;
          for (std::uint32_t pixel : CaptureScreen(area)) yellow += IsExclamationYellow(pixel);
          return yellow >= 20;
        },
        5s);
  }
  ::PostMessageW(box->hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box->hwnd, IDOK)));
  HWND closing = box->hwnd;
  WaitUntil([&] { return !::IsWindow(closing) || !::IsWindowVisible(closing); });
  return box;
}

HWND QuentoProcess::WaitOwnedDialogWith(int id) const {
  HWND found = nullptr;
  WaitUntil([&] {
    for (HWND dialog : OwnedDialogs(m_window)) {
      if (FindDescendant(dialog, id) != nullptr) {
        found = dialog;
        return true;
      }
    }
    return false;
  });
  return found;
}

}  // namespace quento::wine
