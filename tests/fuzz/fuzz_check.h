// Invariant checks for the fuzz targets: a broken invariant aborts, so that
// libFuzzer stops and keeps the input that broke it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                        \
    }                                                                                 \
  } while (0)
