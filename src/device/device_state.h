// One simulated device: the blocks it holds, its fault plan (with the counts still to run) and
// the reply bytes it answers each frame with. Shared by every connection to the device's
// address, so counts run across connections. Thread-safe; no sockets, no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "device/simulator.h"
#include "protocol/frame_parser.h"

namespace quento::device {

using protocol::Frame;
using protocol::FrameError;
using protocol::FrameParser;
using protocol::FrameType;

// What the connection does about one frame.
struct Response {
  std::vector<std::uint8_t> reply;  // sent as is; empty: nothing is sent
  bool close = false;               // close the connection once the reply (if any) is sent
  std::optional<std::vector<std::uint8_t>> completedImage;  // unmasked, on completion
};

class DeviceState {
 public:
  DeviceState(DeviceAddress endpoint, FaultPlan plan);

  const DeviceAddress& endpoint() const { return m_endpoint; }
  // The timing faults, applied by the connection when it sends a reply.
  std::chrono::milliseconds delay() const { return m_delay; }
  std::optional<std::chrono::milliseconds> splitGap() const { return m_splitGap; }

  // What one connection has done towards an image. A completion yields one only when its own
  // connection greeted and then wrote a block, and no other connection has greeted or completed
  // since that greeting: a stray completion frame neither makes an (empty) image nor takes the
  // blocks of a download running on another connection.
  struct Connection {
    std::uint64_t download = 0;  // the greeting that started its download; 0: none
    bool wrote = false;          // a block since the greeting
  };

  // A connection was accepted. False: close it at once (close-after:0, or wedged).
  bool OnConnect();
  // A connection has ended, by either side.
  void OnDisconnect(const Connection& connection);
  Response Handle(const Frame& frame, Connection& connection);

  std::size_t framesReceived() const;
  // wedge-after-drop has fired: every frame on any connection closes it.
  bool wedged() const;
  // The blocks currently held (masked, as received); for tests.
  std::size_t blocksHeld() const;

 private:
  // Takes one use of a counted fault; true when it applies.
  static bool Take(int& count);
  std::vector<std::uint8_t> ReadReply(const Frame& frame);
  std::vector<std::uint8_t> Assemble();
  void CountFrame(Response& response);

  const DeviceAddress m_endpoint;
  const std::chrono::milliseconds m_delay;
  const std::optional<std::chrono::milliseconds> m_splitGap;

  mutable std::mutex m_mutex;
  FaultPlan m_plan;  // counts are consumed as faults fire
  // Grown to the highest block written: a fleet of idle devices holds next to nothing.
  std::vector<std::optional<std::vector<std::uint8_t>>> m_blocks;
  std::size_t m_frames = 0;
  std::uint64_t m_greetings = 0;
  std::uint64_t m_download = 0;  // the greeting whose download the blocks belong to; 0: none
  bool m_closed = false;         // close-after fired (it fires once per device)
  bool m_wedged = false;         // wedge-after-drop fired: every connection is closed
};

}  // namespace quento::device
