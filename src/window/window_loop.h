// A window's thread runs the event loop itself while a connect or a download is under way, so
// the window keeps painting and answering its system between the socket's completions. The
// window kit supplies how its pending events are handled; this owns the rest.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <functional>

namespace quento::window {

// Short enough that painting never lags visibly behind the progress bar.
inline constexpr std::chrono::milliseconds kWindowSlice{15};

// Runs `task` on `io` until it ends, calling `pump_window` at least every `slice` meanwhile.
// An exception that ends the task is passed on.
void RunBesideWindow(asio::io_context& io, asio::awaitable<void> task,
                     const std::function<void()>& pump_window,
                     std::chrono::milliseconds slice = kWindowSlice);

}  // namespace quento::window
