// The main window on Linux: the address, the firmware file, Connect/Disconnect, Download, the
// status line and the progress bar. It shows what the core reports and holds no protocol logic:
// the connection manager and the download decide every text, state and step.
#pragma once

#include <QString>
#include <QWidget>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <cstdint>

#include "connection/connection_manager.h"
#include "operator/operator_feedback.h"
#include "protocol/download.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quento::linux_app {

class IpAddressEdit;

class QuentoWindow final : public QWidget, public op::OperatorFeedback {
  Q_OBJECT

 public:
  explicit QuentoWindow(connection::ConnectionOptions connection = {},
                        protocol::DownloadOptions download = {});
  ~QuentoWindow() override;

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
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateControls();
  void ConnectCommands();
  // The address and file of the last run.
  void RestoreSettings();
  void OnConnectClicked();
  // Enter in the address connects; it never disconnects.
  void OnAddressEntered();
  void OnBrowseClicked();
  void OnDownloadClicked();
  void ShowAbout();
  // Runs the manager's work on this thread, painting between its steps, with the window's
  // input refused until it ends.
  void RunBusy(asio::awaitable<void> task);
  bool Owns(QObject* object) const;

  asio::io_context m_io{1};
  // 1 while the window holds a connection to the device, else 0; the manager keeps it.
  std::int32_t m_connected = 0;
  connection::ConnectionManager m_manager;
  protocol::DownloadOptions m_downloadOptions;
  QString m_filePath;
  // The bar keeps no step of its own.
  int m_progressStep = 10;
  // While above 0, input to the window is thrown away and its commands are ignored: a handler
  // that runs the event loop is never entered a second time.
  int m_busy = 0;

  IpAddressEdit* m_address = nullptr;
  QPushButton* m_connect = nullptr;
  QLineEdit* m_path = nullptr;
  QPushButton* m_download = nullptr;
  QPushButton* m_browse = nullptr;
  QLabel* m_status = nullptr;
  QProgressBar* m_progress = nullptr;
};

}  // namespace quento::linux_app
