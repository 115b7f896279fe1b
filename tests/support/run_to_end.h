// Runs a coroutine of the core on an event loop of its own until it ends.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <optional>

namespace quento::testing {

template <typename T>
T RunToEnd(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result.emplace(std::move(value));
  });
  io.restart();
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

template <typename T>
T RunToEnd(asio::awaitable<T> task) {
  asio::io_context io;
  return RunToEnd(io, std::move(task));
}

}  // namespace quento::testing
