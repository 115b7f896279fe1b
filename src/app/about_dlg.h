#pragma once

#include "app/dialog.h"

namespace quento::app {

// The About box of the system menu.
class CAboutDlg final : public Dialog {
 public:
  CAboutDlg();
};

}  // namespace quento::app
