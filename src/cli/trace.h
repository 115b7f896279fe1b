// --trace: every frame sent and every reply received, one line each.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "protocol/transport.h"

namespace quento::cli {

// One file for all devices. Every download runs on the one event loop thread, so lines are
// written whole, one after another.
class TraceLog {
 public:
  // Opens the file at `path`, emptied, and writes the first line, which names `program`.
  // Returns the system's reason when that fails, or empty.
  std::string Open(const std::filesystem::path& path, std::string_view program = "quento-cli");
  // "MS DEVICE send|recv HEX", MS counted from the start of the run.
  void Write(const std::string& device, const char* direction, std::span<const std::uint8_t> bytes);
  // Why a line could not be written, or empty. None is tried after it: the trace has a gap.
  const std::string& error() const { return m_error; }

 private:
  void Line(std::string_view line);

  platform::AppendFile m_file;
  std::string m_error;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// Makes `trace` the trace file at `path` (UTF-8; none when empty), emptied, and proves that it
// takes bytes by writing its first line before any device is contacted. Returns why it cannot
// be written (a directory, a FIFO, a full disk...), or empty.
std::string OpenTrace(const std::string& path, std::unique_ptr<TraceLog>& trace,
                      std::string_view program = "quento-cli");

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
