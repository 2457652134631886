// Prints this process's hash key, so a test can compare the keys of two separate processes.
#include <cinttypes>
#include <cstdio>

#include "core/hashing.hpp"

int main() {
    const ontarix::HashKey& k = ontarix::process_hash_key();
    std::printf("%016" PRIx64 "%016" PRIx64 "%016" PRIx64 "%016" PRIx64 "\n", k.k0, k.k1, k.k2,
                k.k3);
    return 0;
}
