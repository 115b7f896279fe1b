#include "app/dialog.h"

#include <commctrl.h>

#include <algorithm>

namespace quento::app {
namespace {

CommandTarget* g_commandTarget = nullptr;
HWND g_mainWindow = nullptr;

bool ModifierHeld() {
  return ::GetKeyState(VK_SHIFT) < 0 || ::GetKeyState(VK_CONTROL) < 0 || ::GetKeyState(VK_MENU) < 0;
}

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      ::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

}  // namespace

std::wstring LoadResourceString(UINT id) {
  const wchar_t* text = nullptr;
  const int length =
      ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

const std::wstring& AppName() {
  static const std::wstring name = [] {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
      if (n < path.size()) {
        path.resize(n);
        break;
      }
      path.resize(path.size() * 2);
    }
    std::wstring file = path.substr(path.find_last_of(L"\\/") + 1);
    const auto dot = file.find_last_of(L'.');
    if (dot != std::wstring::npos && dot != 0) file.resize(dot);
    return file;
  }();
  return name;
}

void SetCommandTarget(CommandTarget* target) { g_commandTarget = target; }
HWND MainWindow() { return g_mainWindow; }
void SetMainWindow(HWND window) { g_mainWindow = window; }

std::wstring Control::Text() const { return WindowText(m_hwnd); }

void ProgressCtrl::SetRange(WORD lower, WORD upper) {
  Send(PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}
void ProgressCtrl::SetStep(int step) { Send(PBM_SETSTEP, static_cast<WPARAM>(step)); }
void ProgressCtrl::SetPos(int position) { Send(PBM_SETPOS, static_cast<WPARAM>(position)); }
void ProgressCtrl::StepIt() { Send(PBM_STEPIT); }

void DataExchange::Bind(int id, Control& control) {
  if (control.bound()) return;
  HWND item = ::GetDlgItem(m_dialog, id);
  if (item == nullptr) {
    m_failed = true;
    return;
  }
  control.Attach(item);
}

void DataExchange::Text(int id, std::wstring& value) {
  HWND item = ::GetDlgItem(m_dialog, id);
  if (item == nullptr) {
    m_failed = true;
    return;
  }
  if (m_save) {
    value = WindowText(item);
  } else {
    ::SetWindowTextW(item, value.c_str());
  }
}

INT_PTR Dialog::DoModal() {
  HWND owner = m_parent != nullptr ? m_parent : MainWindow();
  return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), owner,
                           &Dialog::Procedure, reinterpret_cast<LPARAM>(this));
}

void Dialog::SetItemText(int id, std::wstring_view text) {
  ::SetDlgItemTextW(m_hwnd, id, std::wstring(text).c_str());
}

bool Dialog::UpdateData(bool save) {
  DataExchange dx(m_hwnd, save);
  DoDataExchange(dx);
  return !dx.failed();
}

int Dialog::ShowMessageBox(std::wstring_view text) const {
  return ::MessageBoxW(m_hwnd, std::wstring(text).c_str(), AppName().c_str(),
                       MB_OK | MB_ICONEXCLAMATION);
}

bool Dialog::OnInit() {
  if (!UpdateData(false)) End(-1);
  return true;
}

bool Dialog::OnCommand(int code, int id, HWND control) {
  if (control != nullptr && code == BN_CLICKED) {
    // A button that is disabled does not act, even when something clicks it by message.
    if (!::IsWindowEnabled(control)) return true;
    if (OnButtonClicked(id, control)) return true;
  }
  switch (id) {
    case IDOK:
      OnOK();
      return true;
    case IDCANCEL:
      OnCancel();
      return true;
    case kHelpCommand:
      if (g_commandTarget != nullptr) g_commandTarget->OnHelp();
      return true;
    default:
      return false;
  }
}

void Dialog::OnOK() {
  if (UpdateData(true)) End(IDOK);
}

INT_PTR CALLBACK Dialog::Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  Dialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lparam);
    self->m_hwnd = hwnd;
    ::SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
  } else {
    self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (self == nullptr) return FALSE;  // messages before WM_INITDIALOG
  try {
    return self->Dispatch(message, wparam, lparam);
  } catch (...) {
    // The dialog manager cannot carry an exception; the message gets the default handling.
    return FALSE;
  }
}

INT_PTR Dialog::Dispatch(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      return HandleInit();
    case WM_COMMAND:
      if (!busy()) OnCommand(HIWORD(wparam), LOWORD(wparam), reinterpret_cast<HWND>(lparam));
      return TRUE;
    case WM_SYSCOMMAND:
      if (busy()) return TRUE;
      break;
    case WM_HELP:
      // F1 alone asks for help; with a modifier it is some other key.
      if (!ModifierHeld()) ::SendMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(kHelpCommand, 0), 0);
      return TRUE;
    case WM_NCDESTROY:
      m_hwnd = nullptr;
      break;
    default:
      break;
  }
  INT_PTR result = FALSE;
  return OnMessage(message, wparam, lparam, result) ? result : FALSE;
}

INT_PTR Dialog::HandleInit() {
  RECT before{};
  ::GetWindowRect(m_hwnd, &before);
  const bool focusFirst = OnInit();
  CenterIfUnplaced(before);
  return focusFirst ? TRUE : FALSE;
}

// A dialog that its initialisation neither showed nor moved is centred over its owner, or in
// the work area when it has none, and kept inside the work area.
void Dialog::CenterIfUnplaced(const RECT& before) {
  if (m_hwnd == nullptr || ::IsWindowVisible(m_hwnd)) return;
  if (::GetWindowLongW(m_hwnd, GWL_STYLE) & DS_CENTER) return;
  RECT now{};
  ::GetWindowRect(m_hwnd, &now);
  if (!::EqualRect(&now, &before)) return;

  HWND owner = ::GetWindow(m_hwnd, GW_OWNER);
  const bool overOwner = owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoW(::MonitorFromWindow(overOwner ? owner : m_hwnd, MONITOR_DEFAULTTONEAREST),
                    &monitor);
  const RECT work = monitor.rcWork;
  RECT area = work;
  if (overOwner) ::GetWindowRect(owner, &area);

  const LONG width = now.right - now.left;
  const LONG height = now.bottom - now.top;
  LONG x = area.left + (area.right - area.left - width) / 2;
  LONG y = area.top + (area.bottom - area.top - height) / 2;
  x = std::max(work.left, std::min(x, work.right - width));
  y = std::max(work.top, std::min(y, work.bottom - height));
  ::SetWindowPos(m_hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace quento::app
