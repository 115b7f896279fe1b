#include "device/device_state.h"

#include <algorithm>

#include "image/firmware_image.h"
#include "protocol/frames.h"

namespace quento::device {
namespace {

constexpr std::uint8_t kJunkByte = 0xEE;  // cannot start a preamble

// The reply a builder of the protocol writes, as a buffer of its own.
template <typename Build, typename... Args>
std::vector<std::uint8_t> Reply(std::size_t capacity, Build build, Args&&... args) {
  std::vector<std::uint8_t> reply(capacity);
  reply.resize(build(std::span(reply), std::forward<Args>(args)...));
  return reply;
}

std::vector<std::uint8_t> Refusal(std::uint8_t command) {
  return Reply(protocol::kShortReplySize, protocol::BuildRefusal, command);
}

}  // namespace

DeviceState::DeviceState(DeviceAddress endpoint, FaultPlan plan)
    : m_endpoint(endpoint),
      m_delay(plan.delay),
      m_splitGap(plan.splitGap),
      m_plan(std::move(plan)) {}

bool DeviceState::Take(int& count) {
  if (count == kAlways) return true;
  if (count <= 0) return false;
  --count;
  return true;
}

bool DeviceState::OnConnect() {
  std::lock_guard lock(m_mutex);
  if (m_plan.closeAfter == 0 && !m_closed) {
    m_closed = true;
    return false;
  }
  return !m_wedged;
}

void DeviceState::OnDisconnect(const Connection& connection) {
  std::lock_guard lock(m_mutex);
  // A download the client broke off: greeted, not completed.
  if (m_plan.wedgeAfterDrop && connection.download != 0) m_wedged = true;
}

bool DeviceState::wedged() const {
  std::lock_guard lock(m_mutex);
  return m_wedged;
}

std::size_t DeviceState::framesReceived() const {
  std::lock_guard lock(m_mutex);
  return m_frames;
}

std::size_t DeviceState::blocksHeld() const {
  std::lock_guard lock(m_mutex);
  return static_cast<std::size_t>(
      std::count_if(m_blocks.begin(), m_blocks.end(), [](const auto& b) { return b.has_value(); }));
}

void DeviceState::CountFrame(Response& response) {
  ++m_frames;
  if (m_plan.closeAfter > 0 && !m_closed &&
      m_frames >= static_cast<std::size_t>(m_plan.closeAfter)) {
    m_closed = true;
    response.close = true;
  }
}

// Kept whole: the device's answer to every kind of frame reads as one switch.
Response DeviceState::Handle(const Frame& frame, Connection& connection) {
  std::lock_guard lock(m_mutex);
  Response response;
  if (m_wedged) {  // answers nothing, on any connection, until it is restarted
    response.close = true;
    return response;
  }
  CountFrame(response);

  switch (frame.type) {
    case FrameType::kGreeting:
      // A greeting starts a new download. Blocks left from an earlier one that broke off
      // must not end up appended to the next, shorter image.
      m_blocks.clear();
      m_download = ++m_greetings;
      connection = {.download = m_download};
      if (!Take(m_plan.ignoreGreetings)) {
        response.reply = Reply(protocol::kShortReplySize, protocol::BuildGreetingEcho);
      }
      break;

    case FrameType::kBlockWrite: {
      if (!frame.ok()) {
        response.reply = Refusal(protocol::kCmdWrite);
        break;
      }
      if (m_blocks.size() <= frame.index) m_blocks.resize(frame.index + 1u);
      if (!m_plan.keepFirstWrite || !m_blocks[frame.index]) m_blocks[frame.index] = frame.data;
      connection.wrote = connection.download != 0;
      const int block = frame.index;
      if (auto it = m_plan.dropAck.find(block); it != m_plan.dropAck.end() && Take(it->second)) {
        break;  // stored, but the acknowledgement is lost
      }
      if (auto it = m_plan.wrongAck.find(block); it != m_plan.wrongAck.end() && Take(it->second)) {
        response.reply = Refusal(protocol::kCmdWrite);
        break;
      }
      response.reply = Reply(protocol::kShortReplySize, protocol::BuildWriteAck);
      break;
    }

    case FrameType::kBlockRead:
      response.reply = frame.ok() ? ReadReply(frame) : Refusal(protocol::kCmdRead);
      response.reply.insert(response.reply.end(), m_plan.trailing, std::uint8_t{0});
      break;

    case FrameType::kCompletion:
      // Another connection's greeting or completion since this one's greeting has taken the
      // blocks: they are not this download's to complete.
      if (connection.wrote && connection.download == m_download) {
        response.completedImage = Assemble();
        m_download = 0;
      }
      connection = {};
      break;
  }

  if (m_plan.silent) response.reply.clear();
  if (!response.reply.empty()) response.reply.insert(response.reply.end(), m_plan.junk, kJunkByte);
  return response;
}

std::vector<std::uint8_t> DeviceState::ReadReply(const Frame& frame) {
  const std::size_t n = frame.length;
  std::vector<std::uint8_t> data(n, 0xFF);
  if (frame.index < m_blocks.size() && m_blocks[frame.index]) {
    const auto& stored = *m_blocks[frame.index];
    std::copy_n(stored.begin(), std::min(n, stored.size()), data.begin());
  }
  if (auto it = m_plan.corruptRead.find(frame.index); it != m_plan.corruptRead.end()) {
    data[std::min(it->second, n - 1)] ^= 0xFF;  // the stored copy stays intact
  }
  const bool wrongIndex = Take(m_plan.wrongReadIndex);
  const unsigned index = wrongIndex ? frame.index + 1u : frame.index;
  return Reply(protocol::BlockReadReplySize(n), protocol::BuildBlockReadReply, index,
               std::span<const std::uint8_t>(data));
}

std::vector<std::uint8_t> DeviceState::Assemble() {
  std::vector<std::uint8_t> image;
  for (const auto& block : m_blocks) {
    if (!block) break;  // contiguous from block 0
    image.insert(image.end(), block->begin(), block->end());
  }
  image::ApplyMask(image);
  m_blocks.clear();
  m_blocks.shrink_to_fit();
  return image;
}

}  // namespace quento::device
