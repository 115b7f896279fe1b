#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

#include "cli/cli.h"
#include "platform/limits.h"

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int) { g_interrupted.store(true); }

}  // namespace

int main(int argc, char** argv) {
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A device that hangs up must never kill the flasher.
  std::signal(SIGPIPE, SIG_IGN);

  quento::cli::Environment env{std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1, &g_interrupted};
  winsize size{};
  if (env.terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) {
    env.rows = size.ws_row;
    if (size.ws_col > 0) env.columns = size.ws_col;
  }
  // Every device in flight holds a socket: a fleet needs far more than the usual 1024.
  env.openFileLimit = quento::platform::RaiseOpenFileLimit();
  return quento::cli::RunCli(argc, argv, env);
}
