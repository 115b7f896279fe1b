#include "connection/connector.h"

#include <algorithm>
#include <array>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace quento::connection {
namespace {

using asio::ip::tcp;
using std::chrono::milliseconds;

constexpr auto kAsTuple = asio::experimental::as_tuple(asio::use_awaitable);
// A device that floods the line must not keep a discard going for ever.
constexpr std::size_t kMaxDiscard = 1 << 20;

std::string Describe(const char* call, const std::error_code& error) {
  return std::string(call) + ": " + error.message();
}

std::string NoAnswer(const char* call, milliseconds waited) {
  return std::string(call) + ": no answer within " + std::to_string(waited.count()) + " ms";
}

}  // namespace

// The socket and the one deadline that guards whichever operation is pending on it. The
// deadline's handler holds the state, so it can never act on a socket that is gone; the
// generation number keeps a deadline that fired late from touching a later operation.
struct SocketLink::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(const asio::any_io_executor& executor) : socket(executor), deadline(executor) {}

  // When `timeout` passes before Disarm(), the pending operation is cancelled, or with
  // `close` the socket is closed (a connect is not merely cancelled: it must not go on).
  void Arm(milliseconds timeout, bool close) {
    expired = false;
    const unsigned id = ++generation;
    armed = true;
    deadline.expires_after(timeout);
    deadline.async_wait([self = shared_from_this(), id, close](const std::error_code& error) {
      if (error || !self->armed || id != self->generation) return;
      self->expired = true;
      std::error_code ignored;
      if (close) {
        self->socket.close(ignored);
      } else {
        self->socket.cancel(ignored);
      }
    });
  }

  void Disarm() {
    armed = false;
    deadline.cancel();
  }

  void Close() {
    Disarm();
    std::error_code ignored;
    socket.close(ignored);
  }

  tcp::socket socket;
  asio::steady_timer deadline;
  unsigned generation = 0;
  bool armed = false;
  bool expired = false;
  std::string failure;
};

SocketLink::SocketLink(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) {}

SocketLink::~SocketLink() { Close(); }

void SocketLink::Close() { m_impl->Close(); }

std::string SocketLink::FailureDetail() const { return m_impl->failure; }

asio::awaitable<bool> SocketLink::Send(std::span<const std::uint8_t> frame) {
  Impl& s = *m_impl;
  s.Arm(kSendTimeout, false);
  std::error_code error;
  std::size_t sent = 0;
  // A frame this small goes out in one call; the loop only guards the odd short count, so
  // that a frame is never cut.
  while (sent < frame.size() && !error) {
    auto [e, n] =
        co_await s.socket.async_send(asio::buffer(frame.data() + sent, frame.size() - sent),
                                     tcp::socket::message_do_not_route, kAsTuple);
    error = e;
    sent += n;
  }
  s.Disarm();
  if (!error) co_return true;
  s.failure = s.expired ? NoAnswer("send", kSendTimeout) : Describe("send", error);
  co_return false;
}

asio::awaitable<std::size_t> SocketLink::Receive(std::span<std::uint8_t> reply,
                                                 milliseconds timeout) {
  Impl& s = *m_impl;
  s.Arm(timeout, false);
  auto [error, got] =
      co_await asio::async_read(s.socket, asio::buffer(reply.data(), reply.size()), kAsTuple);
  s.Disarm();
  if (!error) {
    s.failure.clear();
  } else {
    s.failure = s.expired ? NoAnswer("receive", timeout) : Describe("receive", error);
  }
  co_return got;
}

void SocketLink::DiscardPending() {
  std::array<std::uint8_t, 4096> sink;
  std::size_t dropped = 0;
  std::error_code error;
  while (dropped < kMaxDiscard) {
    const std::size_t waiting = m_impl->socket.available(error);
    if (error || waiting == 0) return;
    // Never more than is waiting, so the read cannot block.
    const std::size_t n =
        m_impl->socket.read_some(asio::buffer(sink.data(), std::min(waiting, sink.size())), error);
    if (error || n == 0) return;
    dropped += n;
  }
}

asio::awaitable<ConnectResult> ConnectDevice(DeviceAddress device, milliseconds wait) {
  auto impl = std::make_shared<SocketLink::Impl>(co_await asio::this_coro::executor);
  ConnectResult result;
  std::error_code error;
  impl->socket.open(tcp::v4(), error);
  if (error) {
    result.outcome = Outcome::kSocketFailed;
    result.detail = Describe("socket", error);
    co_return result;
  }
  const tcp::endpoint endpoint(asio::ip::address_v4(device.address), device.port);
  impl->Arm(wait, true);
  auto [connectError] = co_await impl->socket.async_connect(endpoint, kAsTuple);
  const bool expired = impl->expired;
  impl->Disarm();
  if (connectError || expired) {
    impl->Close();
    result.detail = expired ? NoAnswer("connect", wait) : Describe("connect", connectError);
    co_return result;
  }
  result.outcome = Outcome::kSuccess;
  result.link = std::make_unique<SocketLink>(std::move(impl));
  co_return result;
}

}  // namespace quento::connection
