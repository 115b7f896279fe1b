// For the lookups only, included after the system's socket headers: the IPv4 addresses of a
// getaddrinfo answer, in the order the system gave them, in host byte order.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace quento::platform {

inline std::vector<std::uint32_t> Ipv4AddressesOf(const addrinfo* list) {
  std::vector<std::uint32_t> addresses;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in address{};
    std::memcpy(&address, entry->ai_addr, sizeof address);
    addresses.push_back(ntohl(address.sin_addr.s_addr));
  }
  return addresses;
}

}  // namespace quento::platform
