// A program run as a child with its stdout on a pipe, and every wait bounded: a child that hangs
// fails the test instead of stalling the suite.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/loopback.h"

extern char** environ;

namespace quento::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    m_out.assign(out[0]);
  }
  ~ChildProcess() {
    if (m_pid > 0 && !m_status && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
  }

  void Signal(int signal) { ::kill(m_pid, signal); }
  std::optional<int> status() const { return m_status; }

  // The next stdout line; nullopt at EOF or when `timeout` passes first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto [error, size] = Await(m_out, timeout, [&](auto done) {
      asio::async_read_until(m_out, asio::dynamic_buffer(m_buffer), '\n', done);
    });
    if (error) return std::nullopt;
    std::string line = m_buffer.substr(0, size - 1);
    m_buffer.erase(0, size);
    return line;
  }

  // Everything until the child closes stdout and exits; nullopt when `timeout` passes first.
  std::optional<std::string> Finish(std::chrono::milliseconds timeout) {
    const auto [error, size] = Await(m_out, timeout, [&](auto done) {
      asio::async_read(m_out, asio::dynamic_buffer(m_buffer), done);
    });
    if (error != asio::error::eof) return std::nullopt;
    // Its stdout is closed: it is ending. Its pid's descriptor turns readable once it has.
    asio::posix::stream_descriptor exited(m_io,
                                          static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0)));
    int status = 0;
    if (Await(exited, timeout,
              [&](auto done) {
                exited.async_wait(asio::posix::descriptor_base::wait_read,
                                  [done](std::error_code e) mutable { done(e, 0); });
              })
            .first ||
        ::waitpid(m_pid, &status, 0) != m_pid)
      return std::nullopt;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return std::exchange(m_buffer, {});
  }

 private:
  using Result = std::pair<std::error_code, std::size_t>;

  // Starts an operation on `on` through `start` and waits at most `timeout` for it to end.
  template <typename Start>
  Result Await(asio::posix::stream_descriptor& on, std::chrono::milliseconds timeout, Start start) {
    Result result{asio::error::timed_out, 0};
    start([&](std::error_code e, std::size_t n) { result = {e, n}; });
    RunFor(m_io, timeout, on);
    return result;
  }

  asio::io_context m_io;
  asio::posix::stream_descriptor m_out{m_io};
  pid_t m_pid = -1;
  std::string m_buffer;
  std::optional<int> m_status;
};

}  // namespace quento::testing
