#include "conform/judge.h"

#include <algorithm>
#include <cstdio>

#include "operator/outcome.h"
#include "protocol/frames.h"

namespace quento::conform {
namespace {

constexpr std::size_t kShown = 16;  // bytes per evidence line

std::string Window(const Reply& reply) { return std::to_string(reply.window.count()) + " ms"; }

// Up to two lines of `bytes` from the line that holds offset `at`.
void Dump(std::vector<std::string>& lines, const char* what, std::span<const std::uint8_t> bytes,
          std::size_t at) {
  const std::size_t from = std::min(at, bytes.empty() ? 0 : bytes.size() - 1) / kShown * kShown;
  for (std::size_t line = from; line < bytes.size() && line < from + 2 * kShown; line += kShown) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "[%04zu] ", line);
    lines.push_back(std::string("  ") + what + ' ' + offset +
                    Hex(bytes.subspan(line, std::min(kShown, bytes.size() - line))));
  }
}

}  // namespace

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::string Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", ms);
  return text;
}

Problem Lateness(const Reply& reply) {
  if (reply.onTime()) return {};
  if (reply.complete()) {
    return {"the reply came " + Ms(reply.took()) + " after the frame, past the " + Window(reply) +
            " the tools wait"};
  }
  const std::string closed = reply.ended ? "the device closed the connection" : "";
  if (reply.got.empty()) return {closed.empty() ? "no reply within " + Window(reply) : closed};
  return {std::to_string(reply.got.size()) + " of the reply's " + std::to_string(reply.size) +
              " bytes, then " + (closed.empty() ? "nothing within " + Window(reply) : closed),
          reply.got.size()};
}

Problem EchoProblem(const Reply& reply) {
  if (Problem late = Lateness(reply)) return late;
  if (protocol::IsGreetingEcho(std::span(reply.got).first<protocol::kShortReplySize>())) return {};
  return {"not the greeting echo 12 34 56 7B 00 00"};
}

Problem AckProblem(const Reply& reply) {
  if (Problem late = Lateness(reply)) return late;
  if (protocol::IsWriteAck(std::span(reply.got).first<protocol::kShortReplySize>())) return {};
  return {"not the acknowledgement 12 34 56 78 00 00"};
}

Problem ReadProblem(const Reply& reply, const image::FirmwareImage& image, int block) {
  if (Problem late = Lateness(reply)) return late;
  if (!protocol::IsBlockReadReply(reply.got, static_cast<unsigned>(block))) {
    return {"not a block-read reply for block " + std::to_string(block) +
            " (12 34 56 79 at offset 0, the block index at offset 6)"};
  }
  const auto written = image.BlockData(block);
  const auto data = std::span(reply.got).subspan(protocol::kDataOffset, written.size());
  const auto [mine, theirs] = std::mismatch(written.begin(), written.end(), data.begin());
  if (mine == written.end()) return {};
  const std::size_t at = static_cast<std::size_t>(mine - written.begin());
  char bytes[64];
  std::snprintf(bytes, sizeof bytes, ": written %02X, returned %02X", *mine, *theirs);
  return {"data byte " + std::to_string(at) + " of the block (image offset " +
              std::to_string(image.Block(block).offset + at) + ", reply offset " +
              std::to_string(protocol::kDataOffset + at) + ") differs" + bytes +
              "; the tools report " + std::string(op::MessageFor(op::Outcome::kVerifyFailed)),
          protocol::kDataOffset + at};
}

std::vector<std::string> Evidence(const Reply& reply, std::size_t at) {
  std::vector<std::string> lines;
  lines.push_back(reply.label + ": " + std::to_string(reply.sent.size()) + " bytes sent at " +
                  Ms(reply.sentMs));
  Dump(lines, "sent", reply.sent, 0);
  std::string got =
      std::to_string(reply.got.size()) + " of " + std::to_string(reply.size) + " bytes received";
  if (reply.firstMs >= 0) got += ", first " + Ms(reply.firstMs - reply.sentMs) + " after the frame";
  if (reply.doneMs >= 0) got += ", last " + Ms(reply.took()) + " after it";
  lines.push_back(got + " (window " + Window(reply) + ")" +
                  (reply.ended ? "; the device closed the connection" : ""));
  Dump(lines, "recv", reply.got, at);
  if (!reply.extra.empty()) {
    lines.push_back(std::to_string(reply.extra.size()) + " bytes beyond the reply's " +
                    std::to_string(reply.size) + ", before the next frame:");
    Dump(lines, "more", reply.extra, 0);
  }
  return lines;
}

CheckResult Pass(std::string summary) { return {nullptr, Verdict::kPass, std::move(summary), {}}; }

CheckResult Info(std::string summary, std::vector<std::string> evidence) {
  return {nullptr, Verdict::kInfo, std::move(summary), std::move(evidence)};
}

CheckResult Fail(std::string summary, std::vector<std::string> evidence) {
  return {nullptr, Verdict::kFail, std::move(summary), std::move(evidence)};
}

}  // namespace quento::conform
