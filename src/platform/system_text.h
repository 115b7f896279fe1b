// Text that comes from the system, as the programs' UTF-8. On Windows the system speaks the ANSI
// code page (GBK on a Chinese Windows) unless asked for UTF-16; records and JSON take UTF-8 only.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace quento::platform {

// The system's own words for `error`, in UTF-8, without a trailing line end
// ("Connection refused"; on a Chinese Windows "由于目标计算机积极拒绝，无法连接。").
std::string SystemMessage(const std::error_code& error);

// `bytes` as valid UTF-8: every byte that is not part of a well-formed sequence becomes U+FFFD,
// so nothing is dropped silently and no writer of JSON, CSV or XML can fail on it.
std::string ValidUtf8(std::string_view bytes);

}  // namespace quento::platform
