// The program: prepares the platform, runs the main window modally, ends when it closes.
#pragma once

#include "app/dialog.h"

namespace quento::app {

class CQuentoApp final : public CommandTarget {
 public:
  // Returns the process's exit code.
  int Run();
  // F1: there is no help content; the command is accepted and nothing is shown.
  void OnHelp() override {}

 private:
  bool InitInstance();
};

}  // namespace quento::app
