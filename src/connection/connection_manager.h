// Opens and closes the one connection to the device, and returns the screen to its
// disconnected state after every download.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "connection/address.h"
#include "connection/network.h"
#include "protocol/operator_feedback.h"
#include "protocol/outcome.h"

namespace quento::connection {

struct ConnectAttempt;

struct ConnectionOptions {
  std::uint16_t port = kDevicePort;
  // How long Connect waits for its worker. A device on the local network answers in
  // milliseconds; three seconds is ample, and short enough that the operator never wonders
  // whether the tool has hung.
  std::chrono::milliseconds connectWait{3000};
  IdleHook idle;
};

class ConnectionManager {
 public:
  static constexpr std::chrono::milliseconds kSocketTimeout{1000};

  // `connected` is the flag this manager keeps: 1 while connected, else 0.
  ConnectionManager(OperatorFeedback& ui, Network& network, std::int32_t& connected,
                    ConnectionOptions options = {});
  ~ConnectionManager();
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // The Connect/Disconnect button: connects when disconnected, else disconnects.
  void OnConnectClicked();
  // Connects to the address the operator typed. kSuccess, kSocketFailed or kConnectFailed;
  // the outcome has been shown to the operator.
  Outcome Connect();
  void Disconnect();
  // Closes the connection and shows the disconnected state, whatever the state was.
  int ResetConnection();

  bool connected() const { return m_connected != 0; }
  // The connected socket; null when disconnected.
  protocol::Transport* transport() { return m_deviceSocket.get(); }

 private:
  OperatorFeedback& m_ui;
  Network& m_network;
  std::int32_t& m_connected;
  ConnectionOptions m_options;

  std::shared_ptr<ConnectAttempt> m_connectAttempt;
  DeviceAddress m_deviceAddress;
  // Shared with the connect worker while it runs; the socket closes when the last owner
  // lets go, so it is never closed twice.
  std::shared_ptr<StreamSocket> m_deviceSocket;
  std::string m_ipText;
};

}  // namespace quento::connection
