// A fixed seed for the program's random choices (the order of a shuffled folder), so that tests
// of them repeat: when set, getrandom fills what it is asked for from a stream that the number
// alone decides. Not set (the default), getrandom is the system's.
//
// fixed_seed.cpp replaces the C library's getrandom at link time: link the fixed_seed target (an
// object library) into the executable that sets it.
#ifndef EPDSIM_FIXED_SEED_H
#define EPDSIM_FIXED_SEED_H

#include <cstdint>
#include <string>

namespace fixed_seed {

void set(std::uint64_t seed);
void clear();

// Applies a setting of EPDSIM_SEED: a whole number from 0 to 2^64 - 1. On any other text it
// returns false with the reason and changes nothing.
bool configure(const std::string &setting, std::string *error);

} // namespace fixed_seed

#endif
