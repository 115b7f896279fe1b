// Runs one of the project's programs as a child process with its stdout on a pipe.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace quento::testing {

class Subprocess {
 public:
  explicit Subprocess(const std::vector<std::string>& argv) {
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
  ~Subprocess() {
    if (m_pid > 0 && !m_status) {
      ::kill(m_pid, SIGKILL);
      Wait();
    }
    if (m_out >= 0) ::close(m_out);
  }
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  bool running() const { return m_pid > 0; }
  void Signal(int signal) { ::kill(m_pid, signal); }

  // The next line of stdout, waiting at most `timeout`; nullopt at EOF or time-out.
  std::optional<std::string> ReadLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto eol = m_buffer.find('\n'); eol != std::string::npos) {
        std::string line = m_buffer.substr(0, eol);
        m_buffer.erase(0, eol + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd pfd{m_out, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[512];
      const ssize_t n = ::read(m_out, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Everything left on stdout until the child closes it.
  std::string ReadAll() {
    std::string all = std::move(m_buffer);
    m_buffer.clear();
    char chunk[512];
    for (ssize_t n; (n = ::read(m_out, chunk, sizeof chunk)) > 0;)
      all.append(chunk, static_cast<std::size_t>(n));
    return all;
  }

  // The exit status (128 + signal for a killed child).
  int Wait() {
    if (!m_status) {
      int status = 0;
      ::waitpid(m_pid, &status, 0);
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return *m_status;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  std::string m_buffer;
  std::optional<int> m_status;
};

}  // namespace quento::testing
