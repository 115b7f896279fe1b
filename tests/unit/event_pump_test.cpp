// The window thread's event loop: nothing the thread is sent after the work ends may be lost.
#include "app/event_pump.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>

namespace quento::app {
namespace {

// Posts a message to this thread, as a click on the window would be, as the task's last act,
// after waiting `wait` on the event loop first (0: no wait at all).
asio::awaitable<void> WaitThenPost(std::chrono::milliseconds wait) {
  if (wait.count() > 0) {
    asio::steady_timer timer(co_await asio::this_coro::executor, wait);
    co_await timer.async_wait(asio::use_awaitable);
  }
  ::PostThreadMessageW(::GetCurrentThreadId(), WM_APP, 0, 0);
}

TEST(RunOnWindowThread, MessagePostedAsTheTaskEnds_IsLeftForTheWindow) {
  asio::io_context io(1);
  for (const auto wait : {std::chrono::milliseconds(0), std::chrono::milliseconds(1)}) {
    SCOPED_TRACE(wait.count());
    RunOnWindowThread(io, WaitThenPost(wait));
    MSG msg;
    EXPECT_TRUE(::PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
  }
}

}  // namespace
}  // namespace quento::app
