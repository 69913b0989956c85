// The fuzzers' own checks.
#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the run with a message naming the broken rule; libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)
