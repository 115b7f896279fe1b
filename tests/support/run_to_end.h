// Runs a coroutine of the core on an event loop until it ends; its exception is passed on.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

namespace quento::testing {

template <typename T>
T RunToEnd(asio::io_context& io, asio::awaitable<T> task) {
  auto result = asio::co_spawn(io, std::move(task), asio::use_future);
  io.restart();
  io.run();
  return result.get();
}

}  // namespace quento::testing
