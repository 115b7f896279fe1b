// Invariant checks for the fuzz targets: a broken invariant must stop the run with a crash
// report, in release builds as well, so assert() is not enough.
#pragma once

#include <cstdio>
#include <cstdlib>

#define QUENTO_FUZZ_REQUIRE(condition)                                                       \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
