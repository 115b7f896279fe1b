// quento-cli: the command-line flasher, as a function the tests can call in-process.
#pragma once

#include <atomic>
#include <ostream>

namespace quento::cli {

struct Environment {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;                      // stdout is a terminal: live bars
  const std::atomic<bool>* cancel = nullptr;  // raised by Ctrl-C
};

// Exit status: 0 all devices succeeded, 1 some failed, 2 usage or firmware file problem,
// 130 interrupted.
int RunCli(int argc, const char* const* argv, const Environment& env);

}  // namespace quento::cli
