#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

#include "platform/addrinfo_ipv4.h"
#include "platform/lookup.h"
#include "platform/system_text.h"

namespace quento::platform {

std::vector<std::uint32_t> LookupIpv4(const std::string& host, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (status == EAI_SYSTEM) {
    error = SystemMessage(std::error_code(errno, std::generic_category()));
    return {};
  }
  if (status != 0) {
    error = ValidUtf8(::gai_strerror(status));
    return {};
  }
  std::vector<std::uint32_t> addresses = Ipv4AddressesOf(list);
  ::freeaddrinfo(list);
  if (addresses.empty()) error = ValidUtf8(::gai_strerror(EAI_NONAME));
  return addresses;
}

}  // namespace quento::platform
