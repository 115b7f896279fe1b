// A small dialog framework over the plain Win32 dialog manager: one dialog procedure that finds
// its C++ object and dispatches to virtual handlers, data exchange between members and
// controls, message boxes and centring. Exceptions never cross into Windows.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "window/busy_scope.h"

namespace quento::app {

// The framework's standard Help command, sent by F1.
inline constexpr int kHelpCommand = 57670;

// A string resource of the program; empty when it has none.
std::wstring LoadResourceString(UINT id);

// The executable's file name without its extension: the caption of every message box.
const std::wstring& AppName();

// Receives the commands no dialog handles; the application object.
class CommandTarget {
 public:
  virtual ~CommandTarget() = default;
  virtual void OnHelp() {}
};
void SetCommandTarget(CommandTarget* target);

// The window that owns message boxes and dialogs created without an owner.
HWND MainWindow();
void SetMainWindow(HWND window);

// A control of a dialog, bound by the first data exchange.
class Control {
 public:
  HWND hwnd() const { return m_hwnd; }
  void Attach(HWND hwnd) { m_hwnd = hwnd; }
  bool bound() const { return m_hwnd != nullptr; }
  void Enable(bool enabled) { ::EnableWindow(m_hwnd, enabled ? TRUE : FALSE); }
  std::wstring Text() const;
  LRESULT Send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const {
    return ::SendMessageW(m_hwnd, message, wparam, lparam);
  }

 private:
  HWND m_hwnd = nullptr;
};

class Button : public Control {};
class IpAddressCtrl : public Control {};

class ProgressCtrl : public Control {
 public:
  void SetRange(WORD lower, WORD upper);
  void SetStep(int step);
  void SetPos(int position);
  void StepIt();
};

// One pass of data exchange: towards the controls, or (`save`) from them into the members.
class DataExchange {
 public:
  DataExchange(HWND dialog, bool save) : m_dialog(dialog), m_save(save) {}
  bool save() const { return m_save; }
  bool failed() const { return m_failed; }

  // Binds `control` to the dialog item `id` the first time; fails if there is no such item.
  void Bind(int id, Control& control);
  void Text(int id, std::wstring& value);

 private:
  HWND m_dialog;
  bool m_save;
  bool m_failed = false;
};

class Dialog {
 public:
  Dialog(int templateId, HWND parent) : m_templateId(templateId), m_parent(parent) {}
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally; returns the value given to End, or -1 if it could not be created.
  INT_PTR DoModal();

  HWND hwnd() const { return m_hwnd; }
  HWND Item(int id) const { return ::GetDlgItem(m_hwnd, id); }
  void SetItemText(int id, std::wstring_view text);
  // Copies members into controls, or (`save`) controls into members.
  bool UpdateData(bool save);
  void End(INT_PTR result) { ::EndDialog(m_hwnd, result); }
  // OK button only, exclamation icon, the program's name as caption; owned by this dialog.
  int ShowMessageBox(std::wstring_view text) const;

 protected:
  virtual void DoDataExchange(DataExchange& /*dx*/) {}
  // Returns true to let the dialog manager put the focus on the first tab stop.
  virtual bool OnInit();
  // Returns true when handled.
  virtual bool OnCommand(int code, int id, HWND control);
  virtual bool OnButtonClicked(int /*id*/, HWND /*control*/) { return false; }
  virtual void OnOK();
  virtual void OnCancel() { End(IDCANCEL); }
  // Any other message; returns true when handled, with the procedure's return in `result`.
  virtual bool OnMessage(UINT /*message*/, WPARAM /*wparam*/, LPARAM /*lparam*/,
                         INT_PTR& /*result*/) {
    return false;
  }

  // While busy, commands and system commands are dropped: a handler that pumps messages or
  // shows a box is never entered a second time.
  bool busy() const { return m_busyDepth > 0; }
  class BusyScope : public window::BusyScope {
   public:
    explicit BusyScope(Dialog& dialog) : window::BusyScope(dialog.m_busyDepth) {}
  };

 private:
  static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Dispatch(UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleInit();
  void CenterIfUnplaced(const RECT& before);

  int m_templateId;
  HWND m_parent;
  HWND m_hwnd = nullptr;
  int m_busyDepth = 0;
};

}  // namespace quento::app
