// Working Quento.exe's window from another process in the same Wine prefix: finding windows,
// reading texts and states, clicking only what is enabled, and reading the screen.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/utf8.h"

namespace quento::wine {

using namespace std::chrono_literals;

// Every wait is bounded; the bounds are generous because they only end a test that is failing.
inline constexpr std::chrono::milliseconds kWindowWait = 30s;

// What the run script tells the driver (environment variables).
struct SuiteConfig {
  std::wstring quentoExe;
  std::string device;        // a simulated device on port 18810
  std::string silentDevice;  // one that never answers
  std::string absentDevice;  // an address where nothing listens
  std::wstring deviceLog;    // the simulator's output
  std::wstring workDir;      // for firmware files

  static const SuiteConfig& Get();
};

using app::Narrow;
using app::Widen;

// Polls `done` until it holds or `limit` passes; returns its last value.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = kWindowWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::Sleep(10);
  }
}

// The window's text, asked across processes; empty if the window does not answer in time.
std::wstring TextOf(HWND window);
std::wstring ClassOf(HWND window);
bool Enabled(HWND window);
// Posts a click, but only to an enabled button: a posted BM_CLICK would run the handler of a
// disabled button under Wine, and the test would prove nothing.
bool Click(HWND button);
// Visible top-level dialogs owned by `owner`.
std::vector<HWND> OwnedDialogs(HWND owner);
// First descendant of `parent` with the control id `id`.
HWND FindDescendant(HWND parent, int id);
// Pixels of a screen rectangle, row by row, as 0x00RRGGBB.
std::vector<std::uint32_t> CaptureScreen(const RECT& area);
bool SaveBitmap(const std::wstring& path, const RECT& area);
// Keys pressed and released through the system's input queue, to the foreground window.
void PressKeys(std::initializer_list<WORD> keys);
// A left click with the real mouse near the left edge of `window`, vertically centred.
void MouseClick(HWND window);

// A message box as the window shows it.
struct MessageBoxView {
  HWND hwnd = nullptr;
  std::wstring caption;
  std::wstring text;
  bool exclamation = false;  // the yellow warning icon was on screen
};

// A running Quento.exe and its main window. Ends the process when destroyed.
class QuentoProcess {
 public:
  QuentoProcess() = default;
  ~QuentoProcess();
  QuentoProcess(const QuentoProcess&) = delete;
  QuentoProcess& operator=(const QuentoProcess&) = delete;

  // Starts the program and waits for its window; false if it never appears.
  bool Start();
  bool Running() const;
  // Waits for the process to end by itself.
  bool WaitExit(std::chrono::milliseconds limit = kWindowWait);

  HWND window() const { return m_window; }
  HWND Item(int id) const { return ::GetDlgItem(m_window, id); }
  std::wstring ItemText(int id) const { return TextOf(Item(id)); }
  bool ItemEnabled(int id) const { return Enabled(Item(id)); }
  bool ClickItem(int id) const { return Click(Item(id)); }
  int ProgressPos() const;
  int ProgressUpper() const;
  void SetAddress(std::string_view dotted) const;
  DWORD threadId() const { return m_info.dwThreadId; }

  // The message box owned by the window, if one is shown.
  std::optional<MessageBoxView> CurrentMessageBox() const;
  // Waits for a message box, reads it (caption, text, icon), and dismisses it with OK.
  std::optional<MessageBoxView> TakeMessageBox(std::chrono::milliseconds limit = kWindowWait) const;
  // A dialog owned by the window that contains the control `id` (file dialogs, About box).
  HWND WaitOwnedDialogWith(int id) const;

 private:
  PROCESS_INFORMATION m_info{};
  HWND m_window = nullptr;
};

}  // namespace quento::wine
