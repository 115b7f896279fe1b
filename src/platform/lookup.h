// The system's resolver, asked for a host's IPv4 addresses. It blocks the calling thread for as
// long as the system takes (tens of seconds when the DNS server is dead), so it is called on a
// thread of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quento::platform {

// The IPv4 addresses (host byte order) the system gives for `host` for a TCP connection, in its
// order. Empty, with the system's words in `error` ("Name or service not known"; on Windows "No
// such host is known."), when there is none.
std::vector<std::uint32_t> LookupIpv4(const std::string& host, std::string& error);

}  // namespace quento::platform
