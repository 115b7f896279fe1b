// A program run as a child with its stdout on a pipe, and every wait bounded: a child that hangs
// fails the test instead of stalling the suite.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace quento::testing {

class ChildProcess {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

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
    m_out = out[0];
  }
  ~ChildProcess() {
    if (m_pid > 0 && !m_status && ::kill(m_pid, SIGKILL) == 0) ::waitpid(m_pid, nullptr, 0);
    ::close(m_out);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal) { ::kill(m_pid, signal); }
  std::optional<int> status() const { return m_status; }

  // The next stdout line; nullopt at EOF or when `timeout` passes first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t eol;
    while ((eol = m_buffer.find('\n')) == std::string::npos) {
      if (!Fill(deadline)) return std::nullopt;
    }
    std::string line = m_buffer.substr(0, eol);
    m_buffer.erase(0, eol + 1);
    return line;
  }

  // Everything until the child closes stdout and exits; nullopt when `timeout` passes first.
  std::optional<std::string> Finish(std::chrono::milliseconds timeout) {
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    while (Fill(deadline)) {
    }
    const int pidfd = m_eof ? static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0)) : -1;
    int status = 0;
    if (pidfd >= 0 && Ready(pidfd, deadline) && ::waitpid(m_pid, &status, 0) == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (pidfd >= 0) ::close(pidfd);
    return m_status ? std::optional(std::exchange(m_buffer, {})) : std::nullopt;
  }

 private:
  // Whether `fd` becomes readable before `deadline`. The descriptor stays ours.
  bool Ready(int fd, Deadline deadline) {
    asio::posix::stream_descriptor watched(m_io, fd);
    bool ready = false;
    watched.async_wait(asio::posix::descriptor_base::wait_read,
                       [&](std::error_code error) { ready = !error; });
    m_io.restart();
    m_io.run_until(deadline);
    watched.cancel();
    m_io.restart();
    m_io.run();
    watched.release();
    return ready;
  }

  bool Fill(Deadline deadline) {
    char chunk[4096];
    const ssize_t n = m_eof || !Ready(m_out, deadline) ? -1 : ::read(m_out, chunk, sizeof chunk);
    m_eof = m_eof || n == 0;
    if (n > 0) m_buffer.append(chunk, static_cast<std::size_t>(n));
    return n > 0;
  }

  asio::io_context m_io;
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_eof = false;
  std::string m_buffer;
  std::optional<int> m_status;
};

}  // namespace quento::testing
