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

}  // namespace

bool AddFault(std::string_view text, FaultPlan& plan, std::string* error) {
  const std::vector<std::string_view> parts = SplitColons(text);
  const std::string_view name = parts[0];
  const auto fail = [&](std::string_view why) {
    if (error != nullptr) *error = "bad fault '" + std::string(text) + "': " + std::string(why);
    return false;
  };
  const auto arity = [&](std::size_t min, std::size_t max) {
    return parts.size() >= min + 1 && parts.size() <= max + 1;
  };

  if (name == "silent") {
    if (!arity(0, 0)) return fail("takes no argument");
    plan.silent = true;
    return true;
  }
  if (name == "ignore-greeting" || name == "wrong-read-index") {
    if (!arity(0, 1)) return fail("expected at most one count");
    const auto n = Count(parts, 1);
    if (!n) return fail("expected a count or 'always'");
    (name == "ignore-greeting" ? plan.ignoreGreetings : plan.wrongReadIndex) = *n;
    return true;
  }
  if (name == "drop-ack" || name == "wrong-ack" || name == "corrupt-read") {
    if (!arity(1, 2)) return fail("expected a block index and at most one more number");
    const auto block = connection::ParseDecimal(parts[1], 255);
    if (!block) return fail("the block index must be 0..255");
    const int b = static_cast<int>(*block);
    if (name == "corrupt-read") {
      const auto offset = parts.size() > 2 ? connection::ParseDecimal(parts[2], 1023)
                                           : std::optional<std::uint32_t>(6);
      if (!offset) return fail("the offset must be 0..1023");
      plan.corruptRead[b] = static_cast<std::size_t>(*offset);
      return true;
    }
    const auto n = Count(parts, 2);
    if (!n) return fail("expected a count or 'always'");
    (name == "drop-ack" ? plan.dropAck : plan.wrongAck)[b] = *n;
    return true;
  }
  if (name == "delay" || name == "split") {
    if (!arity(1, 1)) return fail("expected milliseconds");
    const auto ms = connection::ParseDecimal(parts[1], kMaxMilliseconds);
    if (!ms) return fail("expected milliseconds, 0..600000");
    if (name == "delay") {
      plan.delay = std::chrono::milliseconds(*ms);
    } else {
      plan.splitGap = std::chrono::milliseconds(*ms);
    }
    return true;
  }
  if (name == "junk") {
    if (!arity(1, 1)) return fail("expected a byte count");
    const auto n = connection::ParseDecimal(parts[1], kMaxJunk);
    if (!n) return fail("expected a byte count, 0..65536");
    plan.junk = static_cast<std::size_t>(*n);
    return true;
  }
  if (name == "close-after") {
    if (!arity(1, 1)) return fail("expected a frame count");
    const auto n = connection::ParseDecimal(parts[1], kMaxCount);
    if (!n) return fail("expected a frame count");
    plan.closeAfter = static_cast<int>(*n);
    return true;
  }
  return fail(
      "unknown fault; expected silent, ignore-greeting[:N], drop-ack:B[:N|always], "
      "wrong-ack:B[:N|always], corrupt-read:B[:OFFSET], wrong-read-index[:N], delay:MS, "
      "split:GAP_MS, junk:N or close-after:N");
}

}  // namespace quento::device
