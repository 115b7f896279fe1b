#include "app/about_dlg.h"

#include "resource.h"

namespace quento::app {

CAboutDlg::CAboutDlg() : Dialog(IDD_ABOUTBOX, nullptr) {}

}  // namespace quento::app
