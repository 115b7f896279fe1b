// quento-cli's arguments: what the operator may give, its help text, and argv read into one
// struct.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quento::cli {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Arguments {
  std::string firmware;
  std::vector<std::string> devices;
  std::size_t jobs = 0;
  std::string devicesFile;
  std::string pacing = "standard";
  bool json = false;
  std::string trace;
  std::string report;
  std::string station;
  int retries = 0;
  double retryDelay = 2;
  bool dryRun = false;
};

// Reads `argv` into `args`. Returns the exit status when the run ends here: 0 after --help or
// --version (written to `out`), kExitUsage after a usage error (written to `err`); otherwise
// nothing, and the run goes on.
std::optional<int> ParseArguments(int argc, const char* const* argv, Arguments& args,
                                  std::ostream& out, std::ostream& err);

}  // namespace quento::cli
