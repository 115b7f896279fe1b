#include "operator/outcome.h"

#include <algorithm>
#include <array>

#include "operator/texts.h"

namespace quento::op {
namespace {

struct OutcomeWords {
  Outcome outcome;
  std::string_view name;
  std::string_view text;  // empty: no message is shown
};

constexpr std::array<OutcomeWords, 11> kOutcomes{{
    {Outcome::kSuccess, "success", text::kSuccess},
    {Outcome::kSocketFailed, "socket_failed", text::kSocketFailed},
    {Outcome::kConnectFailed, "connect_failed", text::kConnectFailed},
    {Outcome::kSendFailed, "send_failed", text::kSendFailed},
    {Outcome::kNoResponse, "no_response", text::kNoResponse},
    {Outcome::kVerifyFailed, "verify_failed", text::kVerifyFailed},
    {Outcome::kFileMissing, "file_missing", text::kFileMissing},
    {Outcome::kFileUnreadable, "file_unreadable", text::kFileUnreadable},
    {Outcome::kFileTooLarge, "file_too_large", text::kFileTooLarge},
    {Outcome::kError, "error", text::kFailedStatus},
    {Outcome::kCancelled, "cancelled", {}},
}};
// A new outcome needs its words here: kCancelled is the last.
static_assert(kOutcomes.size() == static_cast<std::size_t>(Outcome::kCancelled) + 1);

// Nothing for a value outside the enumeration (a cast integer).
const OutcomeWords* WordsFor(Outcome outcome) {
  const auto it = std::find_if(kOutcomes.begin(), kOutcomes.end(),
                               [&](const OutcomeWords& w) { return w.outcome == outcome; });
  return it == kOutcomes.end() ? nullptr : &*it;
}

}  // namespace

std::string_view MessageFor(Outcome outcome) {
  const OutcomeWords* words = WordsFor(outcome);
  return words != nullptr ? words->text : std::string_view{};
}

std::string_view NameOf(Outcome outcome) {
  const OutcomeWords* words = WordsFor(outcome);
  return words != nullptr ? words->name : "unknown";
}

}  // namespace quento::op
