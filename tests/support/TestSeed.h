// The seed a test's simulated world is built from: CORVANE_SEED from the
// environment, 1 when unset. Every failing test prints the one command that
// reproduces it with the same seed.
#pragma once

#include <cstdint>

std::uint64_t testSeed();
