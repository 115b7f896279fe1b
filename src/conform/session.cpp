#include "conform/session.h"

#include <algorithm>

#include "protocol/download.h"
#include "protocol/frames.h"

namespace quento::conform {
namespace {

constexpr std::size_t kExtraLook = 4096;  // bytes beyond a reply kept as evidence

}  // namespace

std::chrono::milliseconds Pace::window() const {
  return standard ? protocol::kPauseAfterSend + protocol::kReceiveTimeout
                  : protocol::kReceiveTimeout;
}

Probe::Probe(connection::DeviceAddress device, std::chrono::milliseconds connectWait,
             cli::TraceLog* trace, const std::atomic<bool>* cancel)
    : m_device(device),
      m_connectWait(connectWait),
      m_trace(trace),
      m_cancel(cancel),
      m_name(device.ToString()) {}

double Probe::Now() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start)
      .count();
}

void Probe::Trace(const char* direction, std::span<const std::uint8_t> bytes) {
  if (m_trace != nullptr && !bytes.empty()) m_trace->Write(m_name, direction, bytes);
}

asio::awaitable<std::unique_ptr<Session>> Session::Open(Probe& probe, Pace pace,
                                                        std::string& detail) {
  connection::ConnectResult result =
      co_await connection::ConnectDevice(probe.device(), probe.connectWait());
  if (result.outcome != op::Outcome::kSuccess) {
    detail = result.detail;
    co_return nullptr;
  }
  co_return std::make_unique<Session>(probe, pace, std::move(result.link));
}

Session::Session(Probe& probe, Pace pace, std::unique_ptr<connection::SocketLink> link)
    : m_probe(probe), m_pace(pace), m_link(std::move(link)) {}

std::chrono::milliseconds Session::Left(const Reply& reply, std::chrono::milliseconds limit) const {
  const double left = reply.sentMs + static_cast<double>(limit.count()) - m_probe.Now();
  return std::chrono::milliseconds(std::max<long long>(0, static_cast<long long>(left)));
}

asio::awaitable<Reply> Session::Exchange(std::span<const std::uint8_t> frame, std::size_t size,
                                         std::string label) {
  Reply reply;
  reply.label = std::move(label);
  reply.sent.assign(frame.begin(), frame.end());
  reply.size = size;
  reply.window = m_pace.window();
  // As the tools do: nothing the device sent before may pass for the answer to this frame.
  m_link->DiscardPending();
  reply.sentMs = m_probe.Now();
  m_probe.Trace("send", frame);
  if (m_link->Ended() || !co_await m_link->Send(frame)) {
    reply.ended = true;
  } else {
    co_await Receive(reply);
  }
  reply.ended = reply.ended || m_link->Ended();
  m_broken = m_broken || reply.ended || (reply.complete() && !reply.onTime());
  m_probe.Keep(reply);
  co_return reply;
}

// The first byte, then whatever came with it, then the rest: a reply that needed more than one
// read arrived in pieces.
asio::awaitable<void> Session::Receive(Reply& reply) {
  const auto limit = reply.window + kLateGrace;
  reply.got.assign(reply.size, 0);
  const auto bytes = std::span(reply.got);
  std::size_t got = co_await m_link->Receive(bytes.first(1), Left(reply, limit));
  if (got == 1) {
    reply.firstMs = m_probe.Now();
    got += co_await m_link->Receive(bytes.subspan(1), 0ms);
    reply.split = got < reply.size;
    if (got < reply.size) got += co_await m_link->Receive(bytes.subspan(got), Left(reply, limit));
  }
  reply.got.resize(got);
  m_probe.Trace("recv", reply.got);
  if (!reply.complete()) co_return;
  reply.doneMs = m_probe.Now();
  co_await AfterReply(reply);
}

// The tools' pause after the reply (at standard pacing: after the frame's pause too), spent
// looking for bytes beyond the reply; at fast pacing only what is already there.
asio::awaitable<void> Session::AfterReply(Reply& reply) {
  std::chrono::milliseconds look = 0ms;
  if (m_pace.standard) {
    const auto pause = Left(reply, protocol::kPauseAfterSend);
    if (pause > 0ms) co_await protocol::TimerPause(pause);
    look = protocol::kPauseAfterReceive;
  }
  std::vector<std::uint8_t> extra(kExtraLook);
  extra.resize(co_await m_link->Receive(extra, look));
  m_probe.Trace("recv", extra);
  reply.extra = std::move(extra);
}

asio::awaitable<std::vector<Reply>> Session::Greet() {
  std::array<std::uint8_t, protocol::kShortFrameSize> greeting{};
  protocol::BuildGreeting(greeting);
  std::vector<Reply> replies;
  for (int attempt = 1; attempt <= protocol::kGreetingAttempts && !m_broken && !m_probe.Stopped();
       ++attempt) {
    replies.push_back(co_await Exchange(greeting, protocol::kShortReplySize,
                                        "greeting (attempt " + std::to_string(attempt) + ")"));
    const Reply& echo = replies.back();
    if (echo.onTime() && protocol::IsGreetingEcho(std::span(echo.got).first<6>())) break;
  }
  co_return replies;
}

asio::awaitable<Reply> Session::Write(const image::FirmwareImage& image, int block) {
  std::array<std::uint8_t, protocol::kMaxFrameSize> frame{};
  const std::size_t size =
      protocol::BuildBlockWrite(frame, static_cast<unsigned>(block), image.BlockData(block));
  co_return co_await Exchange(std::span(frame).first(size), protocol::kShortReplySize,
                              "block-write " + std::to_string(block));
}

asio::awaitable<Reply> Session::Read(const image::FirmwareImage& image, int block) {
  std::array<std::uint8_t, protocol::kReadRequestSize> frame{};
  const std::size_t n = image.Block(block).size;
  protocol::BuildBlockRead(frame, static_cast<unsigned>(block), n);
  co_return co_await Exchange(frame, protocol::BlockReadReplySize(n),
                              "block-read " + std::to_string(block));
}

asio::awaitable<void> Session::Complete() {
  std::array<std::uint8_t, protocol::kShortFrameSize> completion{};
  protocol::BuildCompletion(completion);
  m_link->DiscardPending();
  m_probe.Trace("send", completion);
  if (!m_link->Ended()) co_await m_link->Send(completion);
}

asio::awaitable<double> Session::WaitForClose(std::chrono::milliseconds limit) {
  const double from = m_probe.Now();
  std::array<std::uint8_t, kExtraLook> sink{};
  // Bounded: each look either ends the wait or takes the rest of it.
  for (int look = 0; look < 64 && !m_link->Ended(); ++look) {
    const double waited = m_probe.Now() - from;
    if (waited >= static_cast<double>(limit.count())) break;
    const auto rest = std::chrono::milliseconds(static_cast<long long>(limit.count() - waited));
    const std::size_t got = co_await m_link->Receive(sink, rest);
    m_probe.Trace("recv", std::span(sink).first(got));
  }
  co_return m_link->Ended() ? m_probe.Now() - from : -1.0;
}

}  // namespace quento::conform
