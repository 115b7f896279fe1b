// quento-cli: the command-line flasher, as a function the tests can call in-process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ostream>

#include "connection/connector.h"

namespace quento::cli {

struct Environment {
  std::ostream& out;
  std::ostream& err;
  bool terminal = false;                      // stdout is a terminal: live bars
  const std::atomic<bool>* cancel = nullptr;  // raised by Ctrl-C
  int rows = 24;                              // the terminal's size, for the live view
  int columns = 80;
  std::uint64_t openFileLimit = 0;  // descriptors the process may hold; 0: no limit
  std::chrono::milliseconds connectWait = connection::kConnectWait;
  const std::atomic<int>* stopStatus = nullptr;  // the exit status of the request to stop
};

// Exit status: 0 all devices succeeded, 1 some failed, 2 usage or firmware file problem (or too
// few open files for the devices at once), or the request to stop's: 130 Ctrl-C, 143 SIGTERM,
// 129 SIGHUP.
int RunCli(int argc, const char* const* argv, const Environment& env);

}  // namespace quento::cli
