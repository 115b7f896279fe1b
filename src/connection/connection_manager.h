// The window's side of the connection: the Connect/Disconnect button, its caption, the
// connected flag, the messages, and the reset to the disconnected state after every download.
// The connect itself is ConnectDevice's.
#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "connection/address.h"
#include "connection/connector.h"
#include "operator/operator_feedback.h"
#include "operator/outcome.h"
#include "protocol/download.h"

namespace quento::connection {

struct ConnectionOptions {
  std::uint16_t port = kDevicePort;
  std::chrono::milliseconds connectWait = kConnectWait;
};

class ConnectionManager {
 public:
  // `connected` is the flag this manager keeps: 1 while connected, else 0.
  ConnectionManager(op::OperatorFeedback& ui, std::int32_t& connected,
                    ConnectionOptions options = {});
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // The Connect/Disconnect button: connects when disconnected, else disconnects. Like the
  // Download button's work it throws nothing: an exception stops here (StopAtTheEdge), with the
  // connection reset if it is still held.
  asio::awaitable<void> OnConnectClicked();
  // Connects to the address the operator typed. kSuccess, kSocketFailed or kConnectFailed;
  // the outcome has been shown to the operator.
  asio::awaitable<op::Outcome> Connect();
  void Disconnect();
  // The Download button: checks the file, then downloads it to the connected device and resets
  // the connection, whatever the end. Does nothing while disconnected.
  asio::awaitable<void> OnDownloadClicked(std::filesystem::path firmware,
                                          protocol::DownloadOptions options = {});
  // Closes the connection and shows the disconnected state, whatever the state was.
  int ResetConnection();

  bool connected() const { return m_connected != 0; }
  // The connected socket; null when disconnected.
  protocol::Transport* transport() { return m_deviceSocket.get(); }
  // The system's words for the last failed connect, e.g. "connect: Connection refused".
  const std::string& lastFailure() const { return m_lastFailure; }

 private:
  asio::awaitable<void> ConnectOrDisconnect();
  asio::awaitable<void> Download(std::filesystem::path firmware, protocol::DownloadOptions options);
  asio::awaitable<void> AtTheEdge(asio::awaitable<void> work);

  op::OperatorFeedback& m_ui;
  std::int32_t& m_connected;
  ConnectionOptions m_options;

  DeviceAddress m_deviceAddress;
  std::unique_ptr<SocketLink> m_deviceSocket;
  std::string m_ipText;
  std::string m_lastFailure;
};

}  // namespace quento::connection
