// The command-line programs' standard output and error, as the operator sees them.
#pragma once

#include <ostream>

namespace quento::platform {

struct ConsoleView {
  bool terminal = false;  // a terminal that draws ANSI escape sequences: room for a live view
  int rows = 0;           // its visible size; 0 when unknown
  int columns = 0;
};

// What standard output is. On Windows a console window is switched to drawing escape sequences
// here; one that cannot draw them is no terminal.
ConsoleView StandardOutputView();

// Streams that take UTF-8 text. A Windows console is written in UTF-16, so Chinese shows
// whatever the console's code page; a pipe or a file (and any POSIX stream) gets the bytes
// unchanged.
std::ostream& StandardOutput();
std::ostream& StandardError();

}  // namespace quento::platform
