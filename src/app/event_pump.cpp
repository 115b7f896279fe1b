#include "app/event_pump.h"

#include <windows.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <chrono>
#include <exception>

namespace quento::app {
namespace {

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

void RunOnWindowThread(asio::io_context& io, asio::awaitable<void> task) {
  bool done = false;
  std::exception_ptr failure;
  io.restart();
  // The end is marked inside the same handler that finishes the task. Left to a completion
  // handler of its own, the end would wait for the next slice, and the messages pumped before
  // it (a click posted just as the last message box closed) would be thrown away as if the
  // work were still running.
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        try {
          co_await std::move(task);
        } catch (...) {
          failure = std::current_exception();
        }
        done = true;
      },
      asio::detached);
  // The socket's completions and the timers are waited for in slices, and the window's
  // messages handled between them. The loop ends with the task: its own work keeps the
  // event loop from running dry before that.
  while (!done) {
    PumpPendingMessages();
    io.run_one_for(kSlice);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quento::app
