// quento_window_screenshot: Quento.exe's main window as the operator first sees it, with an
// address typed in, saved as QUENTO_RUN/window.ppm once it is painted. It runs under Wine on the
// stage the window's tests use (tests/windows-programs/run_wine_suite.sh), which hands over
// QUENTO_EXE and QUENTO_RUN as Unix paths; the quento_screenshot target makes
// docs/quento-window.png from it.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <process.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "screen_pixels.h"

namespace {

constexpr int kAddress = 1000, kBrowse = 1005, kStatus = 1007, kProgress = 1008;

// A Unix path from the environment, as Wine shows it on drive Z:.
std::wstring FromStage(const wchar_t* variable) {
  const wchar_t* unix = ::_wgetenv(variable);
  std::wstring path = L"Z:" + std::wstring(unix ? unix : L"");
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
  return path;
}

// Polls `done` for at most 30 s: a window that is never shown or painted ends the run.
template <typename Predicate>
bool Within30s(Predicate done) {
  for (int polls = 3000; !done(); ::Sleep(10)) {
    if (--polls < 0) return false;
  }
  return true;
}

int Shoot(HWND window, const std::wstring& picture) {
  const auto item = [&](int id) { return ::GetDlgItem(window, id); };
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(item(kAddress), IPM_SETADDRESS, 0, MAKEIPADDRESS(192, 168, 1, 20),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
  ::SetForegroundWindow(window);
  // The pointer starts at the screen's centre, over Browse, which it would draw lit (blue).
  ::SetCursorPos(0, 0);
  using quento::screen::PixelsOnScreen;
  const auto dark = [](COLORREF p) { return GetGValue(p) < 128; };
  const auto white = [](COLORREF p) { return p == RGB(255, 255, 255); };
  const auto blue = [](COLORREF p) { return GetBValue(p) > GetRValue(p) + 60; };
  if (!Within30s([&] {
        return PixelsOnScreen(item(kStatus), dark) >= 20 &&
               PixelsOnScreen(item(kProgress), white) >= 20 &&
               PixelsOnScreen(item(kBrowse), blue) == 0;
      })) {
    std::fputs("the window was never painted as it rests\n", stderr);
    return 1;
  }
  RECT area{};
  ::GetWindowRect(window, &area);
  std::ofstream out(picture.c_str(), std::ios::binary);
  out << "P6\n" << area.right - area.left << ' ' << area.bottom - area.top << "\n255\n";
  for (COLORREF p : quento::screen::ScreenPixels(area)) {
    out << GetRValue(p) << GetGValue(p) << GetBValue(p);
  }
  return out.flush() ? 0 : 1;
}

}  // namespace

int main() {
  const std::wstring exe = FromStage(L"QUENTO_EXE");
  const intptr_t process = ::_wspawnl(_P_NOWAIT, exe.c_str(), exe.c_str(), nullptr);
  if (process == -1) {
    std::fputs("Quento.exe did not start\n", stderr);
    return 1;
  }
  HWND window = nullptr;
  const int status =
      Within30s([&] { return ::IsWindowVisible(window = ::FindWindowW(L"#32770", L"Quento")); })
          ? Shoot(window, FromStage(L"QUENTO_RUN") + L"\\window.ppm")
          : (std::fputs("Quento.exe showed no window\n", stderr), 1);
  const auto handle = reinterpret_cast<HANDLE>(process);
  ::TerminateProcess(handle, 1);
  ::WaitForSingleObject(handle, 10000);
  ::CloseHandle(handle);
  return status;
}
