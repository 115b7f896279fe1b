// A scripted device behind the download's transport: it answers like a healthy loader, through
// the protocol's own reply builders, unless a test's hook says otherwise, and records every
// frame it was sent. No socket, no clock.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/transport.h"
#include "support/wire.h"

namespace quento::testing {

struct SentFrame {
  std::uint8_t command = 0;
  int block = -1;  // for block frames
  Bytes bytes;
  std::size_t length() const { return static_cast<std::size_t>((bytes[4] << 8) | bytes[5]); }
};

class ScriptedDevice : public protocol::Transport {
 public:
  // Returns the reply to a frame; the default is what a healthy device says.
  std::function<Bytes(const SentFrame&)> reply = [this](const SentFrame& f) { return Healthy(f); };
  // Bytes that arrive only after the receive for this frame has given up.
  std::function<Bytes(const SentFrame&)> lateReply;
  // How many reply bytes reach the receive in time; the rest arrive late.
  std::function<std::size_t(const SentFrame&, std::size_t)> deliver;
  // The send with this 1-based number fails, or throws.
  std::optional<std::size_t> failSend;
  std::optional<std::size_t> throwOnSend;

  std::vector<SentFrame> sent;
  std::map<int, Bytes> stored;  // block -> masked bytes as written
  int discards = 0;

  asio::awaitable<bool> Send(std::span<const std::uint8_t> frame) override {
    SentFrame f{frame[3], -1, Bytes(frame.begin(), frame.end())};
    if (f.command == protocol::kCmdWrite || f.command == protocol::kCmdRead) f.block = frame[6];
    sent.push_back(f);
    if (throwOnSend == sent.size()) throw std::bad_alloc();
    if (failSend == sent.size()) co_return false;
    const Bytes answer = reply(f);
    const std::size_t now =
        deliver ? std::min(deliver(f, answer.size()), answer.size()) : answer.size();
    m_ready.insert(m_ready.end(), answer.begin(), answer.begin() + static_cast<long>(now));
    m_late.assign(answer.begin() + static_cast<long>(now), answer.end());
    if (lateReply) {
      const Bytes late = lateReply(f);
      m_late.insert(m_late.end(), late.begin(), late.end());
    }
    co_return true;
  }

  asio::awaitable<std::size_t> Receive(std::span<std::uint8_t> buffer,
                                       std::chrono::milliseconds) override {
    const std::size_t n = std::min(buffer.size(), m_ready.size());
    std::copy_n(m_ready.begin(), n, buffer.begin());
    m_ready.erase(m_ready.begin(), m_ready.begin() + static_cast<long>(n));
    // Whatever was late has arrived by the time anyone looks again.
    m_ready.insert(m_ready.end(), m_late.begin(), m_late.end());
    m_late.clear();
    co_return n;
  }

  void DiscardPending() override {
    ++discards;
    m_ready.clear();
  }

  std::string failure = "send: Broken pipe";
  std::string FailureDetail() const override { return failure; }

  Bytes Healthy(const SentFrame& f) {
    switch (f.command) {
      case protocol::kCmdGreeting:
        return Echo();
      case protocol::kCmdWrite:
        stored[f.block] = Bytes(f.bytes.begin() + protocol::kDataOffset, f.bytes.end() - 1);
        return Ack();
      case protocol::kCmdRead: {
        Bytes data = stored[f.block];
        data.resize(f.length());
        return ReadReply(static_cast<unsigned>(f.block), data);
      }
      default:
        return {};
    }
  }

  // The commands and block numbers sent, e.g. "G W0 W1 R0 R1 C".
  std::string Trace() const {
    std::string out;
    for (const SentFrame& f : sent) {
      if (!out.empty()) out += ' ';
      switch (f.command) {
        case protocol::kCmdGreeting:
          out += 'G';
          break;
        case protocol::kCmdWrite:
          out += 'W' + std::to_string(f.block);
          break;
        case protocol::kCmdRead:
          out += 'R' + std::to_string(f.block);
          break;
        case protocol::kCmdComplete:
          out += 'C';
          break;
        default:
          out += '?';
      }
    }
    return out;
  }

  // The image the device holds, unmasked.
  Bytes Image() const {
    Bytes out;
    for (const auto& [block, data] : stored) out.insert(out.end(), data.begin(), data.end());
    for (std::uint8_t& b : out) b ^= image::kMask;
    return out;
  }

 private:
  std::deque<std::uint8_t> m_ready;
  Bytes m_late;
};

}  // namespace quento::testing
