// The checks quento-conform makes of a device's loader: their ids, groups and descriptions, and
// what each found.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quento::conform {

enum class Verdict { kPass, kFail, kInfo };

struct Check {
  std::string_view id;
  std::string_view group;
  std::string_view description;
  bool informational = false;  // reported, never a failure
};

// In the order they are reported. Only the frames, the replies, the tools' time windows and the
// read-back rule bind a loader; what it does beyond them is reported as information.
inline constexpr std::array<Check, 16> kChecks = {{
    {"connect.accept", "connect", "accepts a connection within the tools' connect wait"},
    {"greeting.echo", "greeting", "echoes the first greeting with exactly 12 34 56 7B 00 00"},
    {"greeting.again", "greeting", "answer to a second greeting on the same connection", true},
    {"write.ack", "write", "acknowledges every full block-write frame with 12 34 56 78 00 00"},
    {"write.short-last", "write", "acknowledges the short last block's frame"},
    {"write.twice", "write",
     "acknowledges a block written twice in a row both times; it reads back as the second"},
    {"read-back.one-block", "read-back", "returns the masked bytes written: one-block image"},
    {"read-back.many-blocks", "read-back",
     "returns the masked bytes written: many blocks, short last block"},
    {"read-back.largest", "read-back", "returns the masked bytes written: 256 blocks"},
    {"timing.standard", "timing", "replies within 1300 ms of each frame at standard pacing"},
    {"timing.fast", "timing", "replies within 1000 ms of each frame sent back to back"},
    {"framing.trailing", "framing", "sends nothing beyond each reply's size"},
    {"framing.segments", "framing", "replies split across TCP segments", true},
    {"sessions.after-drop", "sessions",
     "completes a download on a new connection after a client dropped mid-download"},
    {"info.after-completion", "info", "what the device does after the completion frame", true},
    {"info.bad-checksum", "info", "answer to a block-write frame with a wrong checksum", true},
}};

inline constexpr std::array<std::string_view, 8> kGroups = {
    "connect", "greeting", "write", "read-back", "timing", "framing", "sessions", "info"};

struct CheckResult {
  const Check* check = nullptr;
  Verdict verdict = Verdict::kFail;
  std::string summary;                // one line
  std::vector<std::string> evidence;  // frames sent and bytes received, with offsets and times
  double ms = 0;                      // from the start of the run to the verdict
};

std::string_view VerdictName(Verdict verdict);  // "pass", "fail", "info"
const Check* FindCheck(std::string_view id);
bool IsGroup(std::string_view name);

}  // namespace quento::conform
