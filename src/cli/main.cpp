#include <unistd.h>

#include <csignal>
#include <iostream>

#include "cli/cli.h"

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

  const quento::cli::Environment env{std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1,
                                     &g_interrupted};
  return quento::cli::RunCli(argc, argv, env);
}
