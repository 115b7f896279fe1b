#include "cli/trace.h"

#include "platform/system_text.h"
#include "quento_version.h"

namespace quento::cli {

std::string OpenTrace(const std::string& path, std::unique_ptr<TraceLog>& trace,
                      std::string_view program) {
  if (path.empty()) return {};
  const std::string cannot = "cannot write trace file '" + path + "': ";
  const std::filesystem::path file = platform::PathFromUtf8(path);
  // Checked before the open: a FIFO would hold the run until something reads it.
  if (const std::string what = platform::NotAFile(file, true); !what.empty()) {
    return cannot + "it is " + what;
  }
  auto log = std::make_unique<TraceLog>();
  if (const std::string error = log->Open(file, program); !error.empty()) return cannot + error;
  trace = std::move(log);
  return {};
}

std::string TraceLog::Open(const std::filesystem::path& path, std::string_view program) {
  std::string error;
  if (!m_file.Open(path, error)) return error;
  // One run's frames only; a device such as /dev/null has nothing to empty.
  std::error_code ec;
  if (!m_file.created() && std::filesystem::is_regular_file(path, ec)) {
    std::filesystem::resize_file(path, 0, ec);
    if (ec) return platform::SystemMessage(ec);
  }
  // A write that proves the file takes bytes (/dev/full does not).
  Line("# " + std::string(program) + " " QUENTO_VERSION ": MS DEVICE send|recv HEX\n");
  return m_error;
}

void TraceLog::Line(std::string_view line) {
  if (m_error.empty() && !m_file.Append(line, m_error) && m_error.empty()) m_error = "not written";
}

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
  // Written at once: whoever watches the file sees each frame as it goes.
  Line(line);
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
