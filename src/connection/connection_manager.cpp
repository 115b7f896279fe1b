#include "connection/connection_manager.h"

#include "image/firmware_image.h"
#include "operator/texts.h"

namespace quento::connection {

ConnectionManager::ConnectionManager(op::OperatorFeedback& ui, std::int32_t& connected,
                                     ConnectionOptions options)
    : m_ui(ui), m_connected(connected), m_options(options) {}

asio::awaitable<void> ConnectionManager::OnConnectClicked() {
  co_await AtTheEdge(ConnectOrDisconnect());
}

asio::awaitable<void> ConnectionManager::AtTheEdge(asio::awaitable<void> work) {
  // A download has reset its connection before it passed the exception on; a connect holds none.
  const auto failure = co_await protocol::StopAtTheEdge(std::move(work), [this] {
    if (m_deviceSocket) ResetConnection();
  });
  if (failure) m_lastFailure = *failure;
}

asio::awaitable<void> ConnectionManager::ConnectOrDisconnect() {
  if (m_connected == 0) {
    co_await Connect();
  } else {
    Disconnect();
  }
}

asio::awaitable<op::Outcome> ConnectionManager::Connect() {
  m_ipText = m_ui.ReadAddressText();
  ConnectResult result;
  if (const auto address = ParseIpv4(m_ipText)) {
    m_deviceAddress = {*address, m_options.port};
    result = co_await ConnectDevice(m_deviceAddress, m_options.connectWait);
  } else {
    result.detail = "'" + m_ipText + "' is not a device address";
  }
  m_lastFailure = result.detail;
  if (result.outcome != op::Outcome::kSuccess) {
    // A socket that could not be opened, or a connect that failed or was given up: the
    // socket is already closed.
    m_ui.ShowMessage(op::MessageFor(result.outcome));
    co_return result.outcome;
  }
  m_deviceSocket = std::move(result.link);
  m_ui.SetConnectCaption(op::text::kDisconnectCaption);
  m_connected = 1;
  m_ui.EnableButton(op::Button::kDownload, true);
  m_ui.ShowMessage(op::text::kConnected);
  co_return op::Outcome::kSuccess;
}

void ConnectionManager::Disconnect() {
  if (!m_deviceSocket) return;
  m_deviceSocket.reset();
  m_connected = 0;
  m_ui.EnableButton(op::Button::kDownload, false);
  m_ui.SetConnectCaption(op::text::kConnectCaption);
  m_ui.ShowMessage(op::text::kDisconnected);
}

asio::awaitable<void> ConnectionManager::OnDownloadClicked(std::filesystem::path firmware,
                                                           protocol::DownloadOptions options) {
  if (!m_deviceSocket) co_return;
  co_await AtTheEdge(Download(std::move(firmware), std::move(options)));
}

asio::awaitable<void> ConnectionManager::Download(std::filesystem::path firmware,
                                                  protocol::DownloadOptions options) {
  co_await protocol::RunDownload(
      image::LoadFirmware(firmware), *m_deviceSocket, m_ui, [this] { ResetConnection(); },
      std::move(options));
}

int ConnectionManager::ResetConnection() {
  m_ui.SetStatus(op::text::kReconnect);
  m_ui.SetProgressPos(0);
  m_deviceSocket.reset();
  m_connected = 0;
  m_ui.EnableButton(op::Button::kDownload, false);
  m_ui.EnableButton(op::Button::kConnectDisconnect, true);
  m_ui.EnableButton(op::Button::kBrowse, true);
  m_ui.SetConnectCaption(op::text::kConnectCaption);
  return 0;
}

}  // namespace quento::connection
