#pragma once

// A property that must hold for every input: when it does not, the input is a
// finding, so stop the way a sanitizer does and let libFuzzer keep it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                                  \
    do {                                                                                                                       \
        if (!(condition)) {                                                                                                    \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);                              \
            std::abort();                                                                                                      \
        }                                                                                                                      \
    } while (false)
