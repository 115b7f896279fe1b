// Waiting on the window's own thread without freezing the window: while the device is slow to
// answer, the window keeps painting and answering the system, but keyboard and mouse input is
// thrown away, so nothing the operator does acts until the wait is over.
#pragma once

#include <chrono>

namespace quento::app {

// Handles everything waiting in the thread's queue: input is dropped, the rest dispatched.
void PumpPendingMessages();

// Returns after `duration` (never earlier), pumping as above meanwhile.
void ResponsivePause(std::chrono::milliseconds duration);

}  // namespace quento::app
