// The conformance run's side of the wire: connections to the device, and exchanges of one frame
// and its reply, timed and kept as evidence. Frames come from the protocol's own builders.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/trace.h"
#include "connection/connector.h"
#include "image/firmware_image.h"

namespace quento::conform {

using namespace std::chrono_literals;

// How long past its window a reply is still waited for, to tell a late reply from none.
inline constexpr std::chrono::milliseconds kLateGrace = 300ms;

// The tools' pace: at standard pacing a reply is read after the pause that follows the frame,
// within the receive window; at fast pacing frames go back to back.
struct Pace {
  bool standard = true;
  std::chrono::milliseconds window() const;  // from the frame's send to the reply's last byte
  std::string_view name() const { return standard ? "standard" : "fast"; }
};

// One frame and what came back for it. Times are in ms from the start of the run.
struct Reply {
  std::string label;                // e.g. "block-write 3"
  std::vector<std::uint8_t> sent;   // the frame
  std::vector<std::uint8_t> got;    // the reply as far as it arrived
  std::size_t size = 0;             // the reply's full size; 0: none is due
  std::vector<std::uint8_t> extra;  // bytes beyond the reply, before the next frame was due
  double sentMs = 0;
  double firstMs = -1;  // first byte; -1: none
  double doneMs = -1;   // last byte of the reply; -1: it did not complete
  std::chrono::milliseconds window{0};
  bool split = false;  // the reply arrived in more than one piece
  bool ended = false;  // the device had closed the connection

  bool complete() const { return size > 0 && got.size() == size; }
  double took() const { return doneMs - sentMs; }
  bool onTime() const { return complete() && took() <= static_cast<double>(window.count()); }
};

// What the run shares: the device, the clock, the trace and every reply so far.
class Probe {
 public:
  Probe(connection::DeviceAddress device, std::chrono::milliseconds connectWait,
        cli::TraceLog* trace, const std::atomic<bool>* cancel);
  // A request to stop was raised: no more frames.
  bool Stopped() const { return m_cancel != nullptr && m_cancel->load(); }
  double Now() const;  // ms since the run started
  void Trace(const char* direction, std::span<const std::uint8_t> bytes);
  void Keep(const Reply& reply) { m_replies.push_back(reply); }
  const std::vector<Reply>& replies() const { return m_replies; }
  const connection::DeviceAddress& device() const { return m_device; }
  std::chrono::milliseconds connectWait() const { return m_connectWait; }

 private:
  connection::DeviceAddress m_device;
  std::chrono::milliseconds m_connectWait;
  cli::TraceLog* m_trace;
  const std::atomic<bool>* m_cancel;
  std::string m_name;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::vector<Reply> m_replies;
};

// One connection to the device at one pace.
class Session {
 public:
  // Connects; on failure `session` stays empty and `detail` says why.
  static asio::awaitable<std::unique_ptr<Session>> Open(Probe& probe, Pace pace,
                                                        std::string& detail);
  Session(Probe& probe, Pace pace, std::unique_ptr<connection::SocketLink> link);

  // Sends `frame` and reads the reply of `size` bytes. A reply that came late or a connection
  // that ended leaves the session broken: what follows could not be told apart.
  asio::awaitable<Reply> Exchange(std::span<const std::uint8_t> frame, std::size_t size,
                                  std::string label);
  // The tools' greeting: up to six attempts until one is echoed. The replies, in order.
  asio::awaitable<std::vector<Reply>> Greet();
  asio::awaitable<Reply> Write(const image::FirmwareImage& image, int block);
  asio::awaitable<Reply> Read(const image::FirmwareImage& image, int block);
  // Sends the completion frame, which has no reply.
  asio::awaitable<void> Complete();
  // Waits up to `limit` for the device to close the connection; the ms it took, or -1.
  asio::awaitable<double> WaitForClose(std::chrono::milliseconds limit);

  bool broken() const { return m_broken; }
  const Pace& pace() const { return m_pace; }

 private:
  asio::awaitable<void> Receive(Reply& reply);
  asio::awaitable<void> AfterReply(Reply& reply);
  std::chrono::milliseconds Left(const Reply& reply, std::chrono::milliseconds limit) const;

  Probe& m_probe;
  Pace m_pace;
  std::unique_ptr<connection::SocketLink> m_link;
  bool m_broken = false;
};

}  // namespace quento::conform
