// The canary of the sanitizer run of the Python suite: a shared object, built with the same
// sanitizer flags as the extension and loaded into the interpreter with ctypes, that reads one
// element past the end of a heap array. If the run does not report it, the preloaded runtime is
// not watching the extension's memory either, and the suite's green result means nothing.
#include <cstddef>

extern "C" __attribute__((visibility("default"))) int ontarix_canary_read_past_end(std::size_t n) {
    // volatile: the compiler cannot prove the read out of bounds and drop it.
    int* volatile data = new int[n]();
    const int value = data[n];
    delete[] data;
    return value;
}
