#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

#include "platform/console.h"

namespace quento::platform {

ConsoleView StandardOutputView() {
  ConsoleView view;
  view.terminal = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  if (view.terminal && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) {
    view.rows = size.ws_row;
    view.columns = size.ws_col;
  }
  return view;
}

std::ostream& StandardOutput() { return std::cout; }

std::ostream& StandardError() { return std::cerr; }

}  // namespace quento::platform
