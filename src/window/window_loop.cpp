#include "window/window_loop.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <exception>

namespace quento::window {

void RunBesideWindow(asio::io_context& io, asio::awaitable<void> task,
                     const std::function<void()>& pump_window, std::chrono::milliseconds slice) {
  bool done = false;
  std::exception_ptr failure;
  io.restart();
  // The end is marked inside the same handler that finishes the task. Left to a completion
  // handler of its own, the end would wait for the next slice, and the events pumped before it
  // (a click just as the last message box closed) would be thrown away as if the work were
  // still running.
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
  // The task's own work keeps the event loop from running dry before it ends.
  while (!done) {
    pump_window();
    io.run_one_for(slice);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quento::window
