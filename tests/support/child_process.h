// A program run as a child with its stdout on a pipe, and every wait bounded: a child that hangs
// fails the test instead of stalling the suite.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
    if (m_pid > 0 && !m_status) {
      ::kill(m_pid, SIGKILL);
      int status = 0;
      ::waitpid(m_pid, &status, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const { return m_pid > 0; }
  void Signal(int signal) { ::kill(m_pid, signal); }

  // The next stdout line; nullopt at EOF or when `timeout` passes first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto eol = m_buffer.find('\n'); eol != std::string::npos) {
        std::string line = m_buffer.substr(0, eol);
        m_buffer.erase(0, eol + 1);
        return line;
      }
      if (!Fill(deadline)) return std::nullopt;
    }
  }

  // Everything until the child closes stdout and exits; nullopt when `timeout` passes first.
  std::optional<std::string> Finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Fill(deadline)) {
    }
    if (!m_eof) return std::nullopt;
    // stdout is closed: the child is exiting, so this wait is short.
    while (!m_status && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    if (!m_status) return std::nullopt;
    std::string all = std::move(m_buffer);
    m_buffer.clear();
    return all;
  }

  std::optional<int> status() const { return m_status; }

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (m_eof || !m_out.is_open()) return false;
    char chunk[4096];
    bool read = false;
    m_out.async_read_some(asio::buffer(chunk), [&](std::error_code error, std::size_t n) {
      if (error) {
        m_eof = error != asio::error::operation_aborted;
        return;
      }
      m_buffer.append(chunk, n);
      read = true;
    });
    m_io.restart();
    m_io.run_until(deadline);
    if (!m_io.stopped()) {
      m_out.cancel();
      m_io.restart();
      m_io.run();
    }
    return read;
  }

  pid_t m_pid = -1;
  asio::io_context m_io;
  asio::posix::stream_descriptor m_out{m_io};
  bool m_eof = false;
  std::string m_buffer;
  std::optional<int> m_status;
};

}  // namespace quento::testing
