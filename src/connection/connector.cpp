#include "connection/connector.h"

#include <algorithm>
#include <array>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/system_text.h"

namespace quento::connection {
namespace {

using asio::ip::tcp;
using std::chrono::milliseconds;

constexpr auto kAsTuple = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::size_t kMaxDiscard = 1 << 20;

std::string Describe(const char* call, const std::error_code& error) {
  return std::string(call) + ": " + platform::SystemMessage(error);
}

std::string NoAnswer(const char* call, milliseconds waited) {
  return std::string(call) + ": no answer within " + std::to_string(waited.count()) + " ms";
}

// The device closed or reset the connection. Which of these a call sees depends on how far the
// device's close had got, so they all mean the same.
bool HungUp(const std::error_code& error) {
  return error == asio::error::eof || error == asio::error::connection_reset ||
         error == asio::error::connection_aborted || error == asio::error::broken_pipe;
}

}  // namespace

// The socket and the one deadline that guards whichever operation is pending on it. The
// deadline's handler holds the state, so it can never act on a socket that is gone; the
// generation number keeps a deadline that fired late from touching a later operation.
//
// Why a hand-armed timer and not `operation || timer.async_wait()` (Asio's awaitable
// operators, which the fault proxy uses to run its lanes side by side): each `||` spawns two
// coroutines and a parallel group for every wait. With the operators around connect, send and
// receive, the benchmark's 10,000 devices at once took 4.32 s and 68.3 MiB instead of 3.91 s and
// 47.1 MiB, and 1,024 fast devices 19.2 s instead of 9.5 s (bench/README.md, rows 5 and 6).
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

  // Reads what is already waiting, without blocking, into `buffer` from `got` on. False once
  // the stream has ended or failed (the reason is in `failure`).
  bool ReadWaiting(std::span<std::uint8_t> buffer, std::size_t& got) {
    while (!ended && got < buffer.size()) {
      std::error_code error;
      const std::size_t n =
          socket.read_some(asio::buffer(buffer.data() + got, buffer.size() - got), error);
      got += n;
      if (error == asio::error::would_block) return true;
      if (error) {
        // Nothing can arrive after the end of the stream: later receives must not wait for it.
        ended = true;
        hungUp = hungUp || HungUp(error);
        failure = Describe("receive", error);
      }
    }
    return !ended;
  }

  tcp::socket socket;
  asio::steady_timer deadline;
  unsigned generation = 0;
  bool armed = false;
  bool expired = false;
  bool ended = false;
  bool hungUp = false;
  std::string failure;
};

SocketLink::SocketLink(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) {}

SocketLink::~SocketLink() { Close(); }

void SocketLink::Close() { m_impl->Close(); }

std::string SocketLink::FailureDetail() const { return m_impl->failure; }

bool SocketLink::Ended() const { return m_impl->hungUp; }

asio::awaitable<bool> SocketLink::Send(std::span<const std::uint8_t> frame) {
  Impl& s = *m_impl;
  const auto rest = [&](std::size_t sent) {
    return asio::buffer(frame.data() + sent, frame.size() - sent);
  };
  // A frame this small almost always fits the socket's buffer at once: only when it does not
  // is there anything to wait for, under the deadline.
  std::error_code error;
  std::size_t sent = s.socket.send(rest(0), tcp::socket::message_do_not_route, error);
  // Only a deadline armed for this send can explain its failure: an earlier receive's may have
  // expired too.
  bool expired = false;
  if (error == asio::error::would_block || (!error && sent < frame.size())) {
    s.Arm(kSendTimeout, false);
    error.clear();
    // The loop only guards the odd short count, so that a frame is never cut.
    while (sent < frame.size() && !error) {
      auto [e, n] =
          co_await s.socket.async_send(rest(sent), tcp::socket::message_do_not_route, kAsTuple);
      error = e;
      sent += n;
    }
    s.Disarm();
    expired = s.expired;
  }
  if (!error) co_return true;
  s.hungUp = s.hungUp || HungUp(error);
  s.failure = expired ? NoAnswer("send", kSendTimeout) : Describe("send", error);
  co_return false;
}

asio::awaitable<std::size_t> SocketLink::Receive(std::span<std::uint8_t> reply,
                                                 milliseconds timeout) {
  Impl& s = *m_impl;
  std::size_t got = 0;
  // At the loader's pace the reply has usually arrived before anyone asks for it.
  if (!s.ReadWaiting(reply, got) || got == reply.size()) {
    if (got == reply.size()) s.failure.clear();
    co_return got;
  }
  s.Arm(timeout, false);
  auto [error, n] = co_await asio::async_read(
      s.socket, asio::buffer(reply.data() + got, reply.size() - got), kAsTuple);
  s.Disarm();
  got += n;
  if (!error) {
    s.failure.clear();
  } else if (s.expired) {
    s.failure = NoAnswer("receive", timeout);
  } else {
    s.ended = error != asio::error::operation_aborted;
    s.hungUp = s.hungUp || HungUp(error);
    s.failure = Describe("receive", error);
  }
  co_return got;
}

void SocketLink::DiscardPending() {
  std::array<std::uint8_t, 4096> sink;
  // A device that floods the line must not keep a discard going for ever.
  for (std::size_t dropped = 0; dropped < kMaxDiscard; dropped += sink.size()) {
    std::size_t got = 0;
    if (!m_impl->ReadWaiting(sink, got) || got < sink.size()) return;
  }
}

asio::awaitable<ConnectResult> ConnectDevice(DeviceAddress device, milliseconds wait) {
  auto impl = std::make_shared<SocketLink::Impl>(co_await asio::this_coro::executor);
  ConnectResult result;
  std::error_code error;
  impl->socket.open(tcp::v4(), error);
  if (error) {
    result.outcome = op::Outcome::kSocketFailed;
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
  // Reads and writes are tried at once and only waited for when they cannot complete.
  impl->socket.non_blocking(true, error);
  result.outcome = op::Outcome::kSuccess;
  result.link = std::make_unique<SocketLink>(std::move(impl));
  co_return result;
}

}  // namespace quento::connection
