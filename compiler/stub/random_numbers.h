// Random(n): pseudo-random integers, seeded afresh in every run. Not for secrets.
#pragma once

#include <stdint.h>

namespace sr::zr {

// Forgets the sequence so far: the next value starts a freshly seeded one.
void start_random_sequence();

// A value from 0 to n - 1, every value equally likely; n must be at least 1.
int64_t random_below(int64_t n);

}  // namespace sr::zr
