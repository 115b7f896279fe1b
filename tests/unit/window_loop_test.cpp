// The window's event loop beside the download: nothing the window is sent after the work ends
// may be thrown away with the input that came during it.
#include "connection/window_loop.h"

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <vector>

namespace quento::connection {
namespace {

using namespace std::chrono_literals;

// The window's queue: the pump throws away what waits in it, as it does input during work.
std::vector<int> g_queue;

// Waits `wait` on the event loop first (0: not at all), then queues a click as its last act.
asio::awaitable<void> WaitThenClick(std::chrono::milliseconds wait) {
  if (wait > 0ms) {
    asio::steady_timer timer(co_await asio::this_coro::executor, wait);
    co_await timer.async_wait(asio::use_awaitable);
  }
  g_queue.push_back(1);
}

TEST(RunBesideWindow, ClickQueuedAsTheTaskEnds_IsLeftForTheWindow) {
  asio::io_context io(1);
  for (const auto wait : {0ms, 1ms}) {
    SCOPED_TRACE(wait.count());
    int pumped = 0;
    RunBesideWindow(io, WaitThenClick(wait), [&] { ++pumped, g_queue.clear(); });
    EXPECT_EQ(g_queue.size(), 1u);
    EXPECT_GE(pumped, 1);
    g_queue.clear();
  }
}

}  // namespace
}  // namespace quento::connection
