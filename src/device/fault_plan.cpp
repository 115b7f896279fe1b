// The fault grammar of simulator.h.
#include <string>
#include <vector>

#include "connection/address.h"
#include "device/simulator.h"

namespace quento::device {
namespace {

constexpr std::uint32_t kMaxMilliseconds = 10 * 60 * 1000;
constexpr std::uint32_t kMaxJunk = 64 * 1024;
constexpr std::uint32_t kMaxCount = 1'000'000;

std::vector<std::string_view> SplitColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t colon = text.find(':');
    parts.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) return parts;
    text.remove_prefix(colon + 1);
  }
}

// parts[at]: N or "always"; 1 when absent.
std::optional<int> Count(const std::vector<std::string_view>& parts, std::size_t at) {
  if (parts.size() <= at) return 1;
  if (parts[at] == "always") return kAlways;
  const auto n = connection::ParseDecimal(parts[at], kMaxCount);
  if (!n) return std::nullopt;
  return static_cast<int>(*n);
}

// parts holds the fault's name and between min and max arguments.
bool Arity(const std::vector<std::string_view>& parts, std::size_t min, std::size_t max) {
  return parts.size() >= min + 1 && parts.size() <= max + 1;
}

// Each of these reads one kind of fault's arguments into the plan and returns why it refused
// them, or nothing when it took them; a refused fault leaves the plan as it was.
using Refusal = std::optional<std::string_view>;

// silent, wedge-after-drop and keep-first-write.
Refusal AddSwitch(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  if (!Arity(parts, 0, 0)) return "takes no argument";
  bool& on = parts[0] == "silent"             ? plan.silent
             : parts[0] == "wedge-after-drop" ? plan.wedgeAfterDrop
                                              : plan.keepFirstWrite;
  on = true;
  return std::nullopt;
}

// ignore-greeting and wrong-read-index.
Refusal AddCounted(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  if (!Arity(parts, 0, 1)) return "expected at most one count";
  const auto n = Count(parts, 1);
  if (!n) return "expected a count or 'always'";
  (parts[0] == "ignore-greeting" ? plan.ignoreGreetings : plan.wrongReadIndex) = *n;
  return std::nullopt;
}

// drop-ack, wrong-ack and corrupt-read.
Refusal AddBlockFault(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  if (!Arity(parts, 1, 2)) return "expected a block index and at most one more number";
  const auto block = connection::ParseDecimal(parts[1], 255);
  if (!block) return "the block index must be 0..255";
  const int b = static_cast<int>(*block);
  if (parts[0] == "corrupt-read") {
    const auto offset = parts.size() > 2 ? connection::ParseDecimal(parts[2], 1023)
                                         : std::optional<std::uint32_t>(6);
    if (!offset) return "the offset must be 0..1023";
    plan.corruptRead[b] = static_cast<std::size_t>(*offset);
    return std::nullopt;
  }
  const auto n = Count(parts, 2);
  if (!n) return "expected a count or 'always'";
  (parts[0] == "drop-ack" ? plan.dropAck : plan.wrongAck)[b] = *n;
  return std::nullopt;
}

// delay and split.
Refusal AddPause(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  if (!Arity(parts, 1, 1)) return "expected milliseconds";
  const auto ms = connection::ParseDecimal(parts[1], kMaxMilliseconds);
  if (!ms) return "expected milliseconds, 0..600000";
  if (parts[0] == "delay") {
    plan.delay = std::chrono::milliseconds(*ms);
  } else {
    plan.splitGap = std::chrono::milliseconds(*ms);
  }
  return std::nullopt;
}

// junk and trailing.
Refusal AddExtraBytes(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  if (!Arity(parts, 1, 1)) return "expected a byte count";
  const auto n = connection::ParseDecimal(parts[1], kMaxJunk);
  if (!n) return "expected a byte count, 0..65536";
  (parts[0] == "junk" ? plan.junk : plan.trailing) = static_cast<std::size_t>(*n);
  return std::nullopt;
}

Refusal AddCloseAfter(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  if (!Arity(parts, 1, 1)) return "expected a frame count";
  const auto n = connection::ParseDecimal(parts[1], kMaxCount);
  if (!n) return "expected a frame count";
  plan.closeAfter = static_cast<int>(*n);
  return std::nullopt;
}

Refusal AddNamedFault(const std::vector<std::string_view>& parts, FaultPlan& plan) {
  const std::string_view name = parts[0];
  if (name == "silent" || name == "wedge-after-drop" || name == "keep-first-write") {
    return AddSwitch(parts, plan);
  }
  if (name == "ignore-greeting" || name == "wrong-read-index") return AddCounted(parts, plan);
  if (name == "drop-ack" || name == "wrong-ack" || name == "corrupt-read") {
    return AddBlockFault(parts, plan);
  }
  if (name == "delay" || name == "split") return AddPause(parts, plan);
  if (name == "junk" || name == "trailing") return AddExtraBytes(parts, plan);
  if (name == "close-after") return AddCloseAfter(parts, plan);
  return "unknown fault; expected silent, ignore-greeting[:N], drop-ack:B[:N|always], "
         "wrong-ack:B[:N|always], corrupt-read:B[:OFFSET], wrong-read-index[:N], delay:MS, "
         "split:GAP_MS, junk:N, trailing:N, close-after:N, wedge-after-drop or keep-first-write";
}

}  // namespace

bool AddFault(std::string_view text, FaultPlan& plan, std::string* error) {
  const Refusal why = AddNamedFault(SplitColons(text), plan);
  if (!why) return true;
  if (error != nullptr) *error = "bad fault '" + std::string(text) + "': " + std::string(*why);
  return false;
}

}  // namespace quento::device
