// A command-line program's start: its environment on this process's console, with the requests
// to stop taken from now on. For the programs' main() only; the tests make their own.
#pragma once

#include <atomic>

#include "cli/cli.h"
#include "platform/console.h"
#include "platform/program.h"

namespace quento::cli {

inline Environment ConsoleEnvironment() {
  static std::atomic<bool> interrupted{false};
  static std::atomic<int> stopStatus{0};
  platform::SetOnStopRequest(interrupted, &stopStatus);

  const platform::ConsoleView view = platform::StandardOutputView();
  Environment env{platform::StandardOutput(), platform::StandardError(), view.terminal,
                  &interrupted};
  if (view.rows > 0) env.rows = view.rows;
  if (view.columns > 0) env.columns = view.columns;
  env.stopStatus = &stopStatus;
  return env;
}

}  // namespace quento::cli
