// The device tests' own helpers; frames and replies come from support/wire.h.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/simulator.h"
#include "support/wire.h"

namespace quento::device::test {

using namespace quento::testing;

// A fault plan from fault texts; a text that does not parse fails the test.
inline FaultPlan Plan(const std::vector<const char*>& faults) {
  FaultPlan plan;
  for (const char* text : faults) {
    std::string error;
    EXPECT_TRUE(AddFault(text, plan, &error)) << text << ": " << error;
  }
  return plan;
}

}  // namespace quento::device::test
