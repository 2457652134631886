#include "core/byte_source.hpp"

#include <algorithm>
#include <cstring>

#include <unistd.h>

namespace ontarix {

FileSource::~FileSource() {
    // Nothing useful can be done about a failed close of a file opened only for reading.
    if (fd_ >= 0) ::close(fd_);
}

ReadResult FileSource::read(std::span<char> out) {
    const SyscallResult r =
        wait_for(*waiter_, [&] { return ::read(fd_, out.data(), out.size()); });
    if (r.value < 0) return {0, r.error};
    return {static_cast<std::size_t>(r.value), 0};
}

ReadResult MemorySource::read(std::span<char> out) noexcept {
    const std::size_t n = std::min({out.size(), chunk_, rest_.size()});
    if (n == 0) return {};  // also keeps a null view's data() away from memcpy
    std::memcpy(out.data(), rest_.data(), n);
    rest_.remove_prefix(n);
    return {n, 0};
}

}  // namespace ontarix
