// Fuzz target: the stored-index loader (what pickle hands ClosureIndex) never crashes, rejects
// damage as content, and loads only states it would write itself.
#include "fuzz/checks.hpp"
#include "fuzz/targets/target_main.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return ontarix::fuzzing::run_check_or_abort(ontarix::fuzzing::check_index_state, data, size);
}
