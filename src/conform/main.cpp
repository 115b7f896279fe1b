#include "cli/console_environment.h"
#include "conform/conform.h"
#include "platform/program.h"

int main(int argc, char** argv) {
  const quento::cli::Environment env = quento::cli::ConsoleEnvironment();
  quento::platform::Arguments arguments(argc, argv);
  return quento::conform::RunConform(arguments.argc(), arguments.argv(), env);
}
