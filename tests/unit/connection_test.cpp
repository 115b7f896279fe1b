#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "connection/connection_manager.h"
#include "protocol/texts.h"
#include "recording_feedback.h"

namespace quento::connection {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

// What the fake sockets did, shared with the test.
struct SocketLog {
  std::mutex mutex;
  std::condition_variable changed;
  int opened = 0;
  int closed = 0;
  int interrupted = 0;
  std::vector<std::string> connects;  // "ADDR:PORT"
};

enum class ConnectBehaviour { kSucceed, kRefuse, kHangUntilInterrupted };

class FakeSocket final : public StreamSocket {
 public:
  FakeSocket(SocketLog& log, ConnectBehaviour behaviour, bool timeoutsWork, bool lateResult)
      : m_log(log), m_behaviour(behaviour), m_timeoutsWork(timeoutsWork), m_late(lateResult) {}
  ~FakeSocket() override {
    std::lock_guard lock(m_log.mutex);
    ++m_log.closed;
    m_log.changed.notify_all();
  }
  bool SetReceiveTimeout(std::chrono::milliseconds t) override {
    return m_timeoutsWork && t == 1000ms;
  }
  bool SetSendTimeout(std::chrono::milliseconds t) override {
    return m_timeoutsWork && t == 1000ms;
  }
  bool Connect(std::uint32_t address, std::uint16_t port) override {
    std::unique_lock lock(m_log.mutex);
    m_log.connects.push_back(FormatIpv4(address) + ":" + std::to_string(port));
    if (m_behaviour != ConnectBehaviour::kHangUntilInterrupted) {
      return m_behaviour == ConnectBehaviour::kSucceed;
    }
    // Bounded: a test that forgets to interrupt fails instead of hanging.
    m_log.changed.wait_for(lock, 10s, [this] { return m_interrupted; });
    return m_late;
  }
  void Interrupt() override {
    std::lock_guard lock(m_log.mutex);
    m_interrupted = true;
    ++m_log.interrupted;
    m_log.changed.notify_all();
  }
  bool Send(std::span<const std::uint8_t>) override { return true; }
  std::size_t Receive(std::span<std::uint8_t>, std::chrono::milliseconds) override { return 0; }
  void DiscardPending() override {}

 private:
  SocketLog& m_log;
  ConnectBehaviour m_behaviour;
  bool m_timeoutsWork;
  bool m_late;
  bool m_interrupted = false;
};

class FakeNetwork final : public Network {
 public:
  explicit FakeNetwork(SocketLog& log) : m_log(log) {}
  bool canOpen = true;
  bool timeoutsWork = true;
  bool lateResult = false;
  ConnectBehaviour behaviour = ConnectBehaviour::kSucceed;

  std::unique_ptr<StreamSocket> OpenStream() override {
    if (!canOpen) return nullptr;
    std::lock_guard lock(m_log.mutex);
    ++m_log.opened;
    return std::make_unique<FakeSocket>(m_log, behaviour, timeoutsWork, lateResult);
  }

 private:
  SocketLog& m_log;
};

class ConnectionTest : public ::testing::Test {
 protected:
  // A worker that was given up on lets go of its socket when its connect returns, maybe after
  // the test body; the log it writes to must outlive that.
  void TearDown() override { EXPECT_TRUE(AllClosed()); }

  ConnectionManager Make() { return ConnectionManager(ui, network, connected, options); }

  // Waits (bounded) until every socket opened so far has been closed.
  bool AllClosed() {
    std::unique_lock lock(log.mutex);
    return log.changed.wait_for(lock, 5s, [this] { return log.closed == log.opened; });
  }

  SocketLog log;
  FakeNetwork network{log};
  quento::testing::RecordingFeedback ui;
  std::int32_t connected = 0;
  ConnectionOptions options{.port = kDevicePort, .connectWait = 50ms, .idle = {}};
};

TEST_F(ConnectionTest, Connect_ReachesPort18810AtTheTypedAddress) {
  ui.address = "192.0.2.7";
  auto manager = Make();
  int flagWhenShown = -1;
  EXPECT_EQ(manager.Connect(), Outcome::kSuccess);
  flagWhenShown = connected;
  EXPECT_THAT(log.connects, ElementsAre("192.0.2.7:18810"));
  EXPECT_THAT(ui.events, ElementsAre("caption 断开连接", "enable 1004 on", "message 连接成功！"));
  EXPECT_EQ(flagWhenShown, 1);
  EXPECT_NE(manager.transport(), nullptr);
}

TEST_F(ConnectionTest, SocketCannotBeCreated_SaysSoAndChangesNothing) {
  network.canOpen = false;
  auto manager = Make();
  EXPECT_EQ(manager.Connect(), Outcome::kSocketFailed);
  EXPECT_THAT(ui.events, ElementsAre("message 套接字创建失败！"));
  EXPECT_EQ(connected, 0);
}

TEST_F(ConnectionTest, TimeoutsCannotBeSet_SocketFailureAndSocketClosed) {
  network.timeoutsWork = false;
  auto manager = Make();
  EXPECT_EQ(manager.Connect(), Outcome::kSocketFailed);
  EXPECT_THAT(ui.events, ElementsAre("message 套接字创建失败！"));
  EXPECT_TRUE(log.connects.empty());
  EXPECT_TRUE(AllClosed());
}

TEST_F(ConnectionTest, Refused_StaysDisconnectedAndClosesTheSocket) {
  network.behaviour = ConnectBehaviour::kRefuse;
  auto manager = Make();
  EXPECT_EQ(manager.Connect(), Outcome::kConnectFailed);
  EXPECT_THAT(ui.events, ElementsAre("message 连接失败，请确认IP地址和端口号是否正确！"));
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(manager.transport(), nullptr);
  EXPECT_TRUE(AllClosed());
}

TEST_F(ConnectionTest, MalformedOrEmptyAddress_FailsLikeAnUnreachableDevice) {
  auto manager = Make();
  for (const char* text : {"", "0.0.0.0", "1.2.3", "1.2.3.256", "a.b.c.d", "1.2.3.4 "}) {
    ui.address = text;
    EXPECT_EQ(manager.Connect(), Outcome::kConnectFailed) << text;
  }
  EXPECT_TRUE(log.connects.empty());
}

TEST_F(ConnectionTest, ConnectNotDoneWithinTheWait_FailsAndTheWorkerIsWokenNotKilled) {
  network.behaviour = ConnectBehaviour::kHangUntilInterrupted;
  auto manager = Make();
  EXPECT_EQ(manager.Connect(), Outcome::kConnectFailed);
  EXPECT_EQ(log.interrupted, 1);
  EXPECT_TRUE(AllClosed());
  EXPECT_EQ(log.closed, 1);
}

TEST_F(ConnectionTest, LateSuccessOfAnAbandonedWorker_IsNotTakenByTheNextConnect) {
  network.behaviour = ConnectBehaviour::kHangUntilInterrupted;
  network.lateResult = true;  // the abandoned connect "succeeds" after all
  auto manager = Make();
  EXPECT_EQ(manager.Connect(), Outcome::kConnectFailed);
  network.behaviour = ConnectBehaviour::kRefuse;
  EXPECT_EQ(manager.Connect(), Outcome::kConnectFailed);
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(AllClosed());
  EXPECT_EQ(log.opened, 2);
}

TEST_F(ConnectionTest, Disconnect_ClosesAndReportsInOrder) {
  auto manager = Make();
  manager.OnConnectClicked();
  ui.events.clear();
  manager.OnConnectClicked();
  EXPECT_THAT(ui.events, ElementsAre("enable 1004 off", "caption 连接", "message 断开连接成功！"));
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(manager.transport(), nullptr);
  EXPECT_TRUE(AllClosed());
}

TEST_F(ConnectionTest, DisconnectWithoutSocket_DoesNothing) {
  auto manager = Make();
  manager.Disconnect();
  EXPECT_TRUE(ui.events.empty());
}

TEST_F(ConnectionTest, ResetConnection_ReturnsToDisconnectedFromAnyState) {
  auto manager = Make();
  manager.Connect();
  ui.events.clear();
  EXPECT_EQ(manager.ResetConnection(), 0);
  EXPECT_THAT(ui.events, ElementsAre("status 请连接固件进行下载！", "pos 0", "enable 1004 off",
                                     "enable 1002 on", "enable 1005 on", "caption 连接"));
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(AllClosed());
  manager.ResetConnection();  // twice is harmless: nothing left to close
  EXPECT_EQ(log.closed, 1);
}

TEST_F(ConnectionTest, IdleHook_RunsWhileWaitingForTheWorker) {
  network.behaviour = ConnectBehaviour::kHangUntilInterrupted;
  int idles = 0;
  options.idle = [&] { ++idles; };
  auto manager = Make();
  manager.Connect();
  EXPECT_GT(idles, 0);
}

}  // namespace
}  // namespace quento::connection
