#include "app/responsive_wait.h"

#include <windows.h>

#include <algorithm>

namespace quento::app {
namespace {

using Clock = std::chrono::steady_clock;

// Short enough that painting never lags visibly behind the progress bar.
constexpr std::chrono::milliseconds kSlice{15};

bool IsInput(UINT message) {
  return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
         (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
         (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK) ||
         message == WM_NCMOUSEHOVER || message == WM_NCMOUSELEAVE || message == WM_MOUSEHOVER ||
         message == WM_MOUSELEAVE || message == WM_INPUT;
}

}  // namespace

void PumpPendingMessages() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Not ours to act on here: leave it for the loop that owns the thread.
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    if (IsInput(msg.message)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

void ResponsivePause(std::chrono::milliseconds duration) {
  const auto deadline = Clock::now() + duration;
  for (;;) {
    PumpPendingMessages();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min(left, kSlice).count()),
                                  QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

}  // namespace quento::app
