// quento-cli in this process, as its main would run it, with what it printed.
#pragma once

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace quento::testing {

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

// The waits are the operators' own: none is shortened here.
inline CliRun RunCli(std::vector<std::string> args, const std::atomic<bool>* cancel = nullptr,
                     std::uint64_t openFiles = 0) {
  args.insert(args.begin(), "quento-cli");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const cli::Environment env{out, err, false, cancel, 24, 80, openFiles};
  return {cli::RunCli(static_cast<int>(argv.size()), argv.data(), env), out.str(), err.str()};
}

}  // namespace quento::testing
