#include "app/event_pump.h"

#include <windows.h>

#include "window/window_loop.h"

namespace quento::app {
namespace {

bool IsInput(UINT message) {
  return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
         // An input method's composition, characters and keys. Its requests and notifications
         // read or tell state and are answered.
         (message >= WM_IME_STARTCOMPOSITION && message <= WM_IME_KEYLAST) ||
         message == WM_IME_CHAR || message == WM_IME_KEYDOWN || message == WM_IME_KEYUP ||
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

void RunOnWindowThread(asio::io_context& io, asio::awaitable<void> task) {
  window::RunBesideWindow(io, std::move(task), PumpPendingMessages);
}

}  // namespace quento::app
