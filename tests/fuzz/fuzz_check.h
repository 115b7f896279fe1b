// A broken invariant must stop the fuzzer with a crash report, in release builds too, which
// assert() would not; the report's stack names the line.
#pragma once

#include <cstdlib>

#define QUENTO_FUZZ_REQUIRE(condition) ((condition) ? void() : std::abort())
