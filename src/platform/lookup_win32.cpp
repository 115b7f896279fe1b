// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <system_error>

#include "platform/addrinfo_ipv4.h"
#include "platform/lookup.h"
#include "platform/system_text.h"

namespace quento::platform {
namespace {

// getaddrinfo's codes are Windows Sockets' own, and the system has words for them.
std::vector<std::uint32_t> Failed(int code, std::string& error) {
  error = SystemMessage(std::error_code(code, std::system_category()));
  return {};
}

}  // namespace

std::vector<std::uint32_t> LookupIpv4(const std::string& host, std::string& error) {
  // The socket library counts its starts: one of the lookup's own keeps it up whether or not the
  // program has started it yet.
  WSADATA data{};
  if (const int started = ::WSAStartup(MAKEWORD(2, 2), &data); started != 0) {
    return Failed(started, error);
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::vector<std::uint32_t> addresses;
  if (const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &list); status != 0) {
    Failed(status, error);
  } else {
    addresses = Ipv4AddressesOf(list);
    ::freeaddrinfo(list);
    if (addresses.empty()) Failed(WSAHOST_NOT_FOUND, error);
  }
  ::WSACleanup();
  return addresses;
}

}  // namespace quento::platform
