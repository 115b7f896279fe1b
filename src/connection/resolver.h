// Host names to device addresses without ever holding the run: each lookup on a thread of its own
// that nobody waits for beyond its deadline, so a dead DNS server costs one wait rather than one
// for every name, and an interrupt is never held up by the system's resolver.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "connection/address.h"

namespace quento::connection {

// How long a lookup may take unless told otherwise: a resolver that answers at all answers in
// milliseconds, and three seconds is the wait of a connect.
inline constexpr std::chrono::milliseconds kResolveWait{3000};
// The most lookup threads alive at once in the process. Lookups beyond it wait for a place,
// their own wait counting all the while; a thread stays in the system's resolver until the
// system gives up (with a dead DNS server, tens of seconds) even when nobody waits for it.
inline constexpr std::size_t kMaxLookupThreads = 256;

// A host name's address as the system's resolver gives it, or why there is none.
struct Resolved {
  // The first usable IPv4 address, with the port asked for.
  std::optional<DeviceAddress> address;
  // When none: "resolve: Name or service not known", "resolve: no answer within 3000 ms",
  // "resolve: interrupted", "resolve: 'blocked' is 0.0.0.0, which no device can have".
  std::string detail;
};

// Every host at once (each name asked once, on a lookup of its own), each bounded by `wait` from
// the call; returns at once when `cancel` (may be null) is raised, and those not yet answered
// then get "resolve: interrupted". `cancel` is looked at every 20 ms, so a signal handler may
// raise it. Never waits for a lookup it gave up on: that finishes, or not, on its own, touching
// nothing of the caller's. Results are in the order of `hosts`.
std::vector<Resolved> ResolveAll(const std::vector<std::pair<std::string, std::uint16_t>>& hosts,
                                 std::chrono::milliseconds wait, const std::atomic<bool>* cancel);

// One host, awaited on the caller's event loop with the same rules (a retry's fresh lookup).
asio::awaitable<Resolved> Resolve(std::string host, std::uint16_t port,
                                  std::chrono::milliseconds wait, const std::atomic<bool>* cancel);

}  // namespace quento::connection
