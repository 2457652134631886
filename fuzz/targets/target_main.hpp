// The body every fuzz target shares: run one check, and on a broken property print what broke
// and abort, so that libFuzzer keeps the input as a crash artifact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace ontarix::fuzzing {

template <class Check>
int run_check_or_abort(Check check, const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string broken = check(input);
    if (!broken.empty()) {
        std::fprintf(stderr, "property broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}

}  // namespace ontarix::fuzzing
