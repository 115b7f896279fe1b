// The window's thread drives the event loop itself. While a connect or a download runs, the
// window keeps painting and answering the system, but keyboard, input method and mouse input is
// thrown away, so nothing the operator does acts until the work is over.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

namespace quento::app {

// Handles everything waiting in the thread's queue: input is dropped, the rest dispatched.
void PumpPendingMessages();

// Runs `task` on `io` until it ends, pumping the window's messages at least every 15 ms
// meanwhile. An exception that ends the task is passed on.
void RunOnWindowThread(asio::io_context& io, asio::awaitable<void> task);

}  // namespace quento::app
