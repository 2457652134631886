// Fuzz target: the UTF-8 validator against the plain one-character-at-a-time reference.
#include "fuzz/checks.hpp"
#include "fuzz/targets/target_main.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return ontarix::fuzzing::run_check_or_abort(ontarix::fuzzing::check_utf8, data, size);
}
