#include "conform/conform.h"
#include "platform/console.h"
#include "platform/program.h"

int main(int argc, char** argv) {
  static std::atomic<bool> interrupted{false};
  static std::atomic<int> stopStatus{0};
  quento::platform::SetOnStopRequest(interrupted, &stopStatus);

  const quento::platform::ConsoleView view = quento::platform::StandardOutputView();
  quento::cli::Environment env{quento::platform::StandardOutput(),
                               quento::platform::StandardError(), view.terminal, &interrupted};
  if (view.rows > 0) env.rows = view.rows;
  if (view.columns > 0) env.columns = view.columns;
  env.stopStatus = &stopStatus;
  quento::platform::Arguments arguments(argc, argv);
  return quento::conform::RunConform(arguments.argc(), arguments.argv(), env);
}
