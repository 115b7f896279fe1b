#include "operator/outcome.h"

#include "operator/texts.h"

namespace quento::op {

std::string_view MessageFor(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess:
      return text::kSuccess;
    case Outcome::kSocketFailed:
      return text::kSocketFailed;
    case Outcome::kConnectFailed:
      return text::kConnectFailed;
    case Outcome::kSendFailed:
      return text::kSendFailed;
    case Outcome::kNoResponse:
      return text::kNoResponse;
    case Outcome::kVerifyFailed:
      return text::kVerifyFailed;
    case Outcome::kFileMissing:
      return text::kFileMissing;
    case Outcome::kFileUnreadable:
      return text::kFileUnreadable;
    case Outcome::kFileTooLarge:
      return text::kFileTooLarge;
    case Outcome::kError:
      return text::kFailedStatus;
    case Outcome::kCancelled:
      break;
  }
  return {};
}

std::string_view NameOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSuccess:
      return "success";
    case Outcome::kSocketFailed:
      return "socket_failed";
    case Outcome::kConnectFailed:
      return "connect_failed";
    case Outcome::kSendFailed:
      return "send_failed";
    case Outcome::kNoResponse:
      return "no_response";
    case Outcome::kVerifyFailed:
      return "verify_failed";
    case Outcome::kFileMissing:
      return "file_missing";
    case Outcome::kFileUnreadable:
      return "file_unreadable";
    case Outcome::kFileTooLarge:
      return "file_too_large";
    case Outcome::kError:
      return "error";
    case Outcome::kCancelled:
      return "cancelled";
  }
  return "unknown";
}

}  // namespace quento::op
