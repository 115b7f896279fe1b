#include "app/quento_app.h"

#include <windows.h>
// commctrl.h needs the declarations of windows.h before it.
#include <commctrl.h>

#include "app/quento_dlg.h"
#include "platform/network.h"
#include "resource.h"

namespace quento::app {

int CQuentoApp::Run() {
  SetCommandTarget(this);
  InitInstance();
  SetCommandTarget(nullptr);
  return 0;
}

bool CQuentoApp::InitInstance() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&controls);

  if (!platform::StartSocketLibrary()) {
    const std::wstring text = LoadResourceString(IDP_SOCKETS_INIT_FAILED);
    MSGBOXPARAMSW box{};
    box.cbSize = sizeof box;
    box.hInstance = ::GetModuleHandleW(nullptr);
    box.lpszText = text.c_str();
    box.lpszCaption = AppName().c_str();
    box.dwStyle = MB_OK | MB_ICONEXCLAMATION;
    box.dwContextHelpId = IDP_SOCKETS_INIT_FAILED;
    ::MessageBoxIndirectW(&box);
    return false;
  }

  {
    CQuentoDlg dialog;
    dialog.DoModal();
  }
  SetMainWindow(nullptr);
  // The modal dialog was the program's only loop; there is nothing left to run.
  return false;
}

}  // namespace quento::app

namespace {
quento::app::CQuentoApp theApp;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return theApp.Run(); }
