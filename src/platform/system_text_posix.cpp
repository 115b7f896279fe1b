#include "platform/system_text.h"

namespace quento::platform {

// strerror's words are in the locale's encoding: UTF-8 wherever a UTF-8 locale is set, and made
// so where it is not.
std::string SystemMessage(const std::error_code& error) { return ValidUtf8(error.message()); }

}  // namespace quento::platform
