// --trace: every frame sent and every reply received, one line each.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/transport.h"

namespace quento::cli {

// One file for all devices. Every download runs on the one event loop thread, so lines are
// written whole, one after another.
class TraceLog {
 public:
  explicit TraceLog(const std::filesystem::path& path);
  bool ok() const { return m_out.good(); }
  // "MS DEVICE send|recv HEX", MS counted from the start of the run.
  void Write(const std::string& device, const char* direction, std::span<const std::uint8_t> bytes);

 private:
  std::ofstream m_out;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// Passes everything through to the device's transport and logs it.
class TracingTransport final : public protocol::Transport {
 public:
  TracingTransport(protocol::Transport& inner, TraceLog& log, std::string device)
      : m_inner(inner), m_log(log), m_device(std::move(device)) {}

  asio::awaitable<bool> Send(std::span<const std::uint8_t> frame) override;
  asio::awaitable<std::size_t> Receive(std::span<std::uint8_t> reply,
                                       std::chrono::milliseconds timeout) override;
  void DiscardPending() override { m_inner.DiscardPending(); }
  bool Ended() const override { return m_inner.Ended(); }
  std::string FailureDetail() const override { return m_inner.FailureDetail(); }

 private:
  protocol::Transport& m_inner;
  TraceLog& m_log;
  std::string m_device;
};

}  // namespace quento::cli
