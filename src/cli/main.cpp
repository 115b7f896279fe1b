#include "cli/cli.h"
#include "cli/console_environment.h"
#include "platform/limits.h"
#include "platform/program.h"

int main(int argc, char** argv) {
  quento::cli::Environment env = quento::cli::ConsoleEnvironment();
  // Every device in flight holds a socket: a fleet needs far more than the usual 1024.
  env.openFileLimit = quento::platform::RaiseOpenFileLimit();
  quento::platform::Arguments arguments(argc, argv);
  return quento::cli::RunCli(arguments.argc(), arguments.argv(), env);
}
