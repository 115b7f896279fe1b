#include <netdb.h>

#include <asio/error.hpp>

#include "platform/system_text.h"

namespace quento::platform {

std::string SystemMessage(const std::error_code& error) {
  // Asio turns the resolver's failures into codes of its own; the system's words for them are
  // the resolver's.
  if (error.category() == asio::error::get_netdb_category()) {
    switch (error.value()) {
      case asio::error::host_not_found:
        return gai_strerror(EAI_NONAME);
      case asio::error::host_not_found_try_again:
        return gai_strerror(EAI_AGAIN);
      case asio::error::no_recovery:
        return gai_strerror(EAI_FAIL);
      default:
        break;
    }
  }
  // strerror's words are in the locale's encoding: UTF-8 wherever a UTF-8 locale is set, and made
  // so where it is not.
  return ValidUtf8(error.message());
}

}  // namespace quento::platform
