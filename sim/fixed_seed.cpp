#include "fixed_seed.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fixed_seed {

namespace {

std::atomic<bool> fixed{false};
std::atomic<std::uint64_t> state{0};

// splitmix64: every call gives the next 64 bits of the stream.
std::uint64_t next_bits() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

void set(std::uint64_t seed) {
    state = seed;
    fixed = true;
}

void clear() {
    fixed = false;
}

bool configure(const std::string &setting, std::string *error) {
    errno = 0;
    char *end = nullptr;
    unsigned long long seed = std::strtoull(setting.c_str(), &end, 10);
    if (setting.empty() || setting.find_first_not_of("0123456789") != std::string::npos ||
        *end != '\0' || errno == ERANGE) {
        *error = "expected a whole number from 0 to 18446744073709551615";
        return false;
    }
    set(seed);
    return true;
}

} // namespace fixed_seed

extern "C" ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    if (!fixed_seed::fixed) {
        return syscall(SYS_getrandom, buffer, length, flags);
    }
    auto *bytes = static_cast<unsigned char *>(buffer);
    for (size_t i = 0; i < length; i += 8) {
        std::uint64_t bits = fixed_seed::next_bits();
        for (size_t k = 0; k < 8 && i + k < length; ++k) {
            bytes[i + k] = static_cast<unsigned char>(bits >> (8 * k));
        }
    }
    return static_cast<ssize_t>(length);
}
