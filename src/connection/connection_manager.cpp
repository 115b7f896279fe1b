#include "connection/connection_manager.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "protocol/texts.h"

namespace quento::connection {

using Clock = std::chrono::steady_clock;

// Everything one Connect shares with its worker. Each Connect makes a new one, so a worker
// that was given up on can only ever write into its own attempt, never into a later one.
struct ConnectAttempt {
  std::shared_ptr<StreamSocket> socket;
  DeviceAddress address;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::int32_t m_connectResult = -1;
};

namespace {

constexpr std::chrono::milliseconds kIdleSlice{15};

void ConnectWorker(std::shared_ptr<ConnectAttempt> attempt) {
  const bool ok = attempt->socket->Connect(attempt->address.address, attempt->address.port);
  std::lock_guard lock(attempt->mutex);
  attempt->m_connectResult = ok ? 0 : -1;
  attempt->done = true;
  attempt->finished.notify_all();
}

}  // namespace

ConnectionManager::ConnectionManager(OperatorFeedback& ui, Network& network,
                                     std::int32_t& connected, ConnectionOptions options)
    : m_ui(ui), m_network(network), m_connected(connected), m_options(std::move(options)) {}

ConnectionManager::~ConnectionManager() = default;

void ConnectionManager::OnConnectClicked() {
  if (m_connected == 0) {
    Connect();
  } else {
    Disconnect();
  }
}

Outcome ConnectionManager::Connect() {
  m_ipText = m_ui.ReadAddressText();
  std::shared_ptr<StreamSocket> socket = m_network.OpenStream();
  if (!socket) {
    m_ui.ShowMessage(text::kSocketFailed);
    return Outcome::kSocketFailed;
  }
  if (!socket->SetReceiveTimeout(kSocketTimeout) || !socket->SetSendTimeout(kSocketTimeout)) {
    m_ui.ShowMessage(text::kSocketFailed);
    return Outcome::kSocketFailed;  // the socket closes here, after the message
  }

  const auto address = ParseIpv4(m_ipText);
  std::int32_t result = -1;
  if (address) {
    m_deviceAddress = {*address, m_options.port};
    m_connectAttempt = std::make_shared<ConnectAttempt>();
    m_connectAttempt->socket = socket;
    m_connectAttempt->address = m_deviceAddress;
    std::thread worker;
    try {
      worker = std::thread(ConnectWorker, m_connectAttempt);
    } catch (const std::system_error&) {
      // No thread: the attempt is never made and fails like a refused connect.
    }
    if (worker.joinable()) {
      std::unique_lock lock(m_connectAttempt->mutex);
      const auto deadline = Clock::now() + m_options.connectWait;
      while (!m_connectAttempt->done && Clock::now() < deadline) {
        const auto slice = m_options.idle
                               ? std::min<Clock::duration>(kIdleSlice, deadline - Clock::now())
                               : deadline - Clock::now();
        m_connectAttempt->finished.wait_for(lock, slice);
        if (m_options.idle && !m_connectAttempt->done) {
          lock.unlock();
          m_options.idle();
          lock.lock();
        }
      }
      result = m_connectAttempt->m_connectResult;
      const bool finished = m_connectAttempt->done;
      lock.unlock();
      // A worker that has stored its result is about to end: wait for it, so that no thread
      // outlives a Connect that is over. One still inside connect is never waited for (on
      // Windows nothing but the system's own time-out ends it): it is woken below and ends
      // by itself.
      if (finished) {
        worker.join();
      } else {
        worker.detach();
      }
    }
  }

  if (result != 0) {
    m_ui.ShowMessage(text::kConnectFailed);
    // A worker still inside connect is woken and ends by itself; whichever of us lets go of
    // the socket last closes it.
    socket->Interrupt();
    m_connectAttempt.reset();
    return Outcome::kConnectFailed;
  }
  {
    // The worker has stored its result and touches the socket no more.
    std::lock_guard lock(m_connectAttempt->mutex);
    m_connectAttempt->socket.reset();
  }
  m_connectAttempt.reset();
  m_deviceSocket = std::move(socket);
  m_ui.SetConnectCaption(text::kDisconnectCaption);
  m_connected = 1;
  m_ui.EnableButton(Button::kDownload, true);
  m_ui.ShowMessage(text::kConnected);
  return Outcome::kSuccess;
}

void ConnectionManager::Disconnect() {
  if (!m_deviceSocket) return;
  std::shared_ptr<StreamSocket> closing = std::move(m_deviceSocket);
  closing.reset();
  m_connected = 0;
  m_ui.EnableButton(Button::kDownload, false);
  m_ui.SetConnectCaption(text::kConnectCaption);
  m_ui.ShowMessage(text::kDisconnected);
}

int ConnectionManager::ResetConnection() {
  m_ui.SetStatus(text::kReconnect);
  m_ui.SetProgressPos(0);
  m_deviceSocket.reset();
  m_connected = 0;
  m_ui.EnableButton(Button::kDownload, false);
  m_ui.EnableButton(Button::kConnect, true);
  m_ui.EnableButton(Button::kBrowse, true);
  m_ui.SetConnectCaption(text::kConnectCaption);
  return 0;
}

}  // namespace quento::connection
