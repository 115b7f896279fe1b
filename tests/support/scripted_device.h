// A device behind the download's transport, with no socket and no clock. It answers like a
// healthy loader, through the protocol's own reply builders, unless a test's hooks say otherwise,
// and records every frame it was sent.
#pragma once

#include <functional>
#include <map>
#include <optional>

#include "image/firmware_image.h"
#include "protocol/transport.h"
#include "support/wire.h"

namespace quento::testing {

struct SentFrame {
  std::uint8_t command = 0;
  int block = -1;  // for block frames
  Bytes bytes;
  Bytes received;  // what the receive that followed it returned
};

class ScriptedDevice : public protocol::Transport {
 public:
  // The answer to a frame, given what a healthy device would say; by default that.
  std::function<Bytes(const SentFrame&, Bytes)> reply;
  // How many bytes of the answer reach the receive in time (by default all); the rest arrive by
  // the next one.
  std::function<std::size_t(const SentFrame&, std::size_t)> deliver;
  // The send with this 1-based number fails.
  std::optional<std::size_t> failSend;
  // The device hangs up once it has answered the frame with this 1-based number. As on a real
  // socket, the link finds out only by reading to the end, and later sends still succeed.
  std::optional<std::size_t> hangUpAfter;

  std::vector<SentFrame> sent;
  std::map<int, Bytes> stored;  // block -> masked bytes as written

  asio::awaitable<bool> Send(std::span<const std::uint8_t> frame) override {
    const bool block = frame[3] == protocol::kCmdWrite || frame[3] == protocol::kCmdRead;
    sent.push_back({frame[3], block ? frame[6] : -1, Bytes(frame.begin(), frame.end()), {}});
    if (failSend == sent.size()) co_return false;
    if (hangUpAfter && *hangUpAfter < sent.size()) co_return true;
    const Bytes answer = reply ? reply(sent.back(), Healthy(sent.back())) : Healthy(sent.back());
    const std::size_t inTime = deliver ? deliver(sent.back(), answer.size()) : answer.size();
    const auto now = static_cast<long>(std::min(inTime, answer.size()));
    m_ready.insert(m_ready.end(), answer.begin(), answer.begin() + now);
    m_late.insert(m_late.end(), answer.begin() + now, answer.end());
    co_return true;
  }

  asio::awaitable<std::size_t> Receive(std::span<std::uint8_t> buffer,
                                       std::chrono::milliseconds) override {
    const auto n = static_cast<long>(std::min(buffer.size(), m_ready.size()));
    m_ended = m_ended || (static_cast<std::size_t>(n) < buffer.size() && AtTheEnd());
    std::copy_n(m_ready.begin(), n, buffer.begin());
    sent.back().received.assign(m_ready.begin(), m_ready.begin() + n);
    m_ready.erase(m_ready.begin(), m_ready.begin() + n);
    m_ready.insert(m_ready.end(), m_late.begin(), m_late.end());
    m_late.clear();
    co_return static_cast<std::size_t>(n);
  }

  void DiscardPending() override {
    m_ready.clear();
    m_ended = m_ended || AtTheEnd();
  }
  bool Ended() const override { return m_ended; }
  std::string FailureDetail() const override { return "send: Broken pipe"; }

  // The commands and block numbers sent, e.g. "G W0 W1 R0 R1 C".
  std::string Trace() const {
    std::string out;
    for (const SentFrame& f : sent) {
      out += std::string(out.empty() ? "" : " ") + "WRCG"[f.command - protocol::kCmdWrite];
      out += f.block < 0 ? "" : std::to_string(f.block);
    }
    return out;
  }

  // The image the device holds, unmasked.
  Bytes Image() const {
    Bytes out;
    for (const auto& [block, data] : stored) out.insert(out.end(), data.begin(), data.end());
    image::ApplyMask(out);
    return out;
  }

 private:
  bool AtTheEnd() const { return hangUpAfter && *hangUpAfter <= sent.size() && m_late.empty(); }

  Bytes Healthy(const SentFrame& f) {
    if (f.command == protocol::kCmdGreeting) return Echo();
    if (f.command == protocol::kCmdWrite) {
      stored[f.block] = Bytes(f.bytes.begin() + protocol::kDataOffset, f.bytes.end() - 1);
      return Ack();
    }
    if (f.command != protocol::kCmdRead) return {};
    Bytes data = stored[f.block];
    data.resize(static_cast<std::size_t>((f.bytes[4] << 8) | f.bytes[5]));
    return ReadReply(static_cast<unsigned>(f.block), data);
  }

  Bytes m_ready;
  Bytes m_late;
  bool m_ended = false;
};

}  // namespace quento::testing
