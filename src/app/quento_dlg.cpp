#include "app/quento_dlg.h"

#include "app/about_dlg.h"
#include "app/event_pump.h"
#include "app/file_dialog.h"
#include "platform/utf16.h"
#include "resource.h"

namespace quento::app {

std::int32_t g_connected = 0;

CQuentoDlg::CQuentoDlg()
    : Dialog(IDD_QUENTO_DIALOG, nullptr),
      m_icon(::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_io(1),
      m_manager(*this, g_connected) {}

CQuentoDlg::~CQuentoDlg() = default;

void CQuentoDlg::DoDataExchange(DataExchange& dx) {
  dx.Bind(IDC_IPADDRESS, m_ipAddressCtrl);
  dx.Text(IDC_FILE_PATH, m_filePath);
  dx.Bind(IDC_DOWNLOAD, m_downloadButton);
  dx.Bind(IDC_PROGRESS, m_progressCtrl);
  dx.Bind(IDC_BROWSE, m_browseButton);
  dx.Bind(IDC_CONNECT, m_connectButton);
}

bool CQuentoDlg::OnInit() {
  SetMainWindow(hwnd());
  Dialog::OnInit();

  if (HMENU menu = ::GetSystemMenu(hwnd(), FALSE)) {
    const std::wstring about = LoadResourceString(IDS_ABOUTBOX);
    if (!about.empty()) {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  ::SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon));
  ::SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon));
  m_downloadButton.Enable(false);
  return true;
}

bool CQuentoDlg::OnButtonClicked(int id, HWND /*control*/) {
  switch (id) {
    case IDC_CONNECT:
      OnConnectClicked();
      return true;
    case IDC_BROWSE:
      OnBrowseClicked();
      return true;
    case IDC_DOWNLOAD:
      OnDownloadClicked();
      return true;
    default:
      return false;
  }
}

bool CQuentoDlg::OnMessage(UINT message, WPARAM wparam, LPARAM /*lparam*/, INT_PTR& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      return OnSysCommand(wparam);
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<INT_PTR>(m_icon);
      return true;
    default:
      return false;
  }
}

bool CQuentoDlg::OnSysCommand(WPARAM command) {
  if ((command & 0xFFF0) != IDM_ABOUTBOX) return false;
  CAboutDlg about;
  about.DoModal();
  return true;
}

bool CQuentoDlg::OnPaint() {
  if (!::IsIconic(hwnd())) return false;
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(hwnd(), &paint);
  ::SendMessageW(hwnd(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int width = ::GetSystemMetrics(SM_CXICON);
  const int height = ::GetSystemMetrics(SM_CYICON);
  RECT client;
  ::GetClientRect(hwnd(), &client);
  ::DrawIcon(dc, (client.right - client.left - width + 1) / 2,
             (client.bottom - client.top - height + 1) / 2, m_icon);
  ::EndPaint(hwnd(), &paint);
  return true;
}

void CQuentoDlg::OnConnectClicked() {
  BusyScope busy(*this);
  RunOnWindowThread(m_io, m_manager.OnConnectClicked());
}

void CQuentoDlg::OnBrowseClicked() {
  BusyScope busy(*this);
  m_filePath = ChooseFirmwareFile(hwnd());
  UpdateData(false);
}

void CQuentoDlg::OnDownloadClicked() {
  if (!m_manager.connected()) return;  // the button is enabled only while connected
  BusyScope busy(*this);
  // The download runs on the window's thread; the window paints through its pauses.
  RunOnWindowThread(m_io, m_manager.OnDownloadClicked(m_filePath));
}

std::string CQuentoDlg::ReadAddressText() { return platform::Narrow(m_ipAddressCtrl.Text()); }

void CQuentoDlg::SetStatus(std::string_view text) {
  SetItemText(IDC_STATUS, platform::Widen(text));
}

void CQuentoDlg::SetConnectCaption(std::string_view text) {
  SetItemText(IDC_CONNECT, platform::Widen(text));
}

void CQuentoDlg::EnableButton(op::Button button, bool enabled) {
  switch (button) {
    case op::Button::kConnectDisconnect:
      m_connectButton.Enable(enabled);
      break;
    case op::Button::kDownload:
      m_downloadButton.Enable(enabled);
      break;
    case op::Button::kBrowse:
      m_browseButton.Enable(enabled);
      break;
  }
}

void CQuentoDlg::SetProgressRange(std::uint16_t upper) { m_progressCtrl.SetRange(0, upper); }
void CQuentoDlg::SetProgressStep(int step) { m_progressCtrl.SetStep(step); }
void CQuentoDlg::SetProgressPos(int position) { m_progressCtrl.SetPos(position); }
void CQuentoDlg::StepProgress() { m_progressCtrl.StepIt(); }

void CQuentoDlg::ShowMessage(std::string_view text) { ShowMessageBox(platform::Widen(text)); }

void CQuentoDlg::PushMembersToControls() { UpdateData(false); }

}  // namespace quento::app
