// The main window: the address, the firmware file, Connect/Disconnect, Download, the status line
// and the progress bar. It shows what the core reports and holds no protocol logic itself.
#pragma once

#include <asio/io_context.hpp>
#include <cstdint>
#include <string>

#include "app/dialog.h"
#include "connection/connection_manager.h"
#include "operator/operator_feedback.h"

namespace quento::app {

// 1 while the window holds a connection to the device, else 0.
extern std::int32_t g_connected;

class CQuentoDlg final : public Dialog, public op::OperatorFeedback {
 public:
  CQuentoDlg();
  ~CQuentoDlg() override;

  std::string ReadAddressText() override;
  void SetStatus(std::string_view text) override;
  void SetConnectCaption(std::string_view text) override;
  void EnableButton(op::Button button, bool enabled) override;
  void SetProgressRange(std::uint16_t upper) override;
  void SetProgressStep(int step) override;
  void SetProgressPos(int position) override;
  void StepProgress() override;
  void ShowMessage(std::string_view text) override;
  void PushMembersToControls() override;

 protected:
  void DoDataExchange(DataExchange& dx) override;
  bool OnInit() override;
  bool OnButtonClicked(int id, HWND control) override;
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) override;

 private:
  void OnConnectClicked();
  void OnBrowseClicked();
  void OnDownloadClicked();
  bool OnSysCommand(WPARAM command);
  bool OnPaint();

  HICON m_icon;
  // The window's event loop, driven from the window's thread while a handler runs.
  asio::io_context m_io;
  connection::ConnectionManager m_manager;
  std::wstring m_filePath;
  IpAddressCtrl m_ipAddressCtrl;
  app::Button m_downloadButton;
  ProgressCtrl m_progressCtrl;
  app::Button m_browseButton;
  app::Button m_connectButton;
};

}  // namespace quento::app
