// Fuzz target: the record reader and the association table over arbitrary bytes, whole and in
// pieces, against each other and against the naive reference parser.
#include "fuzz/checks.hpp"
#include "fuzz/targets/target_main.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return ontarix::fuzzing::run_check_or_abort(ontarix::fuzzing::check_reader, data, size);
}
