// Deliberately faulty: each mode commits one fault that the sanitizer build must report. The
// sanitizer script runs every mode and fails unless each run dies with the matching report; a
// harness that passes this canary is known to catch the real thing.
//
//   heap  reads one byte past a heap buffer, inside the core (utf8_valid_up_to), which proves the
//         core library itself is instrumented, not just this file;
//   ub    overflows a signed integer;
//   leak  loses the only pointer to a heap block;
//   race  (ThreadSanitizer builds) writes one int from the threads of the core's parallel runner,
//         which proves the runner's threads are seen.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <thread>

#include "core/blocking_wait.hpp"
#include "core/parallel_blocks.hpp"
#include "core/utf8.hpp"

namespace {

// Read from argv so the compiler cannot see through the faults and fold them away.
int heap_overflow(int extra) {
    auto buf = std::make_unique<char[]>(8);
    std::memset(buf.get(), 'a', 8);
    return static_cast<int>(ontarix::utf8_valid_up_to(std::string_view(buf.get(), 8 + extra)));
}

int signed_overflow(int step) {
    int x = std::numeric_limits<int>::max() - 1;
    x += step;
    return x;
}

void* leaked;

int leak(int size) {
    leaked = std::malloc(static_cast<std::size_t>(size) * 16);
    std::memset(leaked, 1, static_cast<std::size_t>(size) * 16);
    leaked = nullptr;
    return 0;
}

int shared_counter;

int race(int threads) {
    ontarix::run_blocks(64, static_cast<unsigned>(threads) + 2, ontarix::plain_waiter(),
                        [](std::size_t, unsigned) {
                            // Long enough that every thread gets blocks.
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                            for (int i = 0; i < 1000; ++i) ++shared_counter;
                        });
    return shared_counter;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    const int n = argc;  // 2 when called with a mode
    int r = 0;
    if (mode == "heap") r = heap_overflow(n - 1);
    else if (mode == "ub") r = signed_overflow(n);
    else if (mode == "leak") r = leak(n);
    else if (mode == "race") r = race(n);
    else {
        std::fprintf(stderr, "usage: %s heap|ub|leak|race\n", argv[0]);
        return 2;
    }
    std::printf("canary %s survived (%d)\n", argv[1], r);
    return 0;
}
