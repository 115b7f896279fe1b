// How a download (or the connect before it) ended, with the operator's text for each ending.
#pragma once

#include <string_view>

namespace quento::op {

enum class Outcome {
  kSuccess,
  kSocketFailed,
  kConnectFailed,
  kSendFailed,
  kNoResponse,
  kVerifyFailed,
  kFileMissing,
  kFileUnreadable,
  kFileTooLarge,
  kError,      // the download broke off on an unexpected error (the detail says which)
  kCancelled,  // stopped on request (command line only); no message is shown
};

// The message-box text, e.g. "下载成功！"; empty for kCancelled.
std::string_view MessageFor(Outcome outcome);
// The machine-readable name, e.g. "no_response".
std::string_view NameOf(Outcome outcome);

}  // namespace quento::op
