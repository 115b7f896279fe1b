// A window is busy while a handler that pumps messages or shows a box runs: input and commands
// that arrive meanwhile are dropped, so that no handler is entered a second time. Both windows
// count nesting the same way.
#pragma once

namespace quento::window {

// Counts `depth` up for as long as it lives.
class BusyScope {
 public:
  explicit BusyScope(int& depth) : m_depth(depth) { ++m_depth; }
  ~BusyScope() { --m_depth; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& m_depth;
};

}  // namespace quento::window
