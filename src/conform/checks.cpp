#include "conform/checks.h"

#include <algorithm>

namespace quento::conform {

std::string_view VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPass:
      return "pass";
    case Verdict::kFail:
      return "fail";
    case Verdict::kInfo:
      return "info";
  }
  return "fail";
}

const Check* FindCheck(std::string_view id) {
  const auto it = std::ranges::find(kChecks, id, &Check::id);
  return it == kChecks.end() ? nullptr : &*it;
}

bool IsGroup(std::string_view name) { return std::ranges::find(kGroups, name) != kGroups.end(); }

}  // namespace quento::conform
