// Waiting for what another thread or process does next: polled, and bounded. The bound only ends
// a test that is already failing, so it is generous.
#pragma once

#include <chrono>
#include <thread>

namespace quento::testing {

// True as soon as `done()` holds; false once `limit` has passed without it.
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  constexpr std::chrono::milliseconds kPoll{5};
  for (auto polls = limit / kPoll; !done(); std::this_thread::sleep_for(kPoll)) {
    if (--polls < 0) return false;
  }
  return true;
}

}  // namespace quento::testing
