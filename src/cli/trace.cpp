#include "cli/trace.h"

namespace quento::cli {

TraceLog::TraceLog(const std::filesystem::path& path)
    : m_out(path, std::ios::out | std::ios::trunc | std::ios::binary) {}

void TraceLog::Write(const std::string& device, const char* direction,
                     std::span<const std::uint8_t> bytes) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - m_start)
                      .count();
  std::string line = std::to_string(ms) + ' ' + device + ' ' + direction + ' ';
  line.reserve(line.size() + bytes.size() * 2 + 1);
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::uint8_t b : bytes) {
    line += kHex[b >> 4];
    line += kHex[b & 0xF];
  }
  line += '\n';
  // Flushed at once: whoever watches the file sees each frame as it goes.
  m_out << line << std::flush;
}

asio::awaitable<bool> TracingTransport::Send(std::span<const std::uint8_t> frame) {
  m_log.Write(m_device, "send", frame);
  co_return co_await m_inner.Send(frame);
}

asio::awaitable<std::size_t> TracingTransport::Receive(std::span<std::uint8_t> reply,
                                                       std::chrono::milliseconds timeout) {
  const std::size_t got = co_await m_inner.Receive(reply, timeout);
  m_log.Write(m_device, "recv", reply.first(got));
  co_return got;
}

}  // namespace quento::cli
