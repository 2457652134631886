// StringArena: owned, address-stable storage for the bytes that table views point into.
//
// Bytes are appended into large chunks, so storing a string costs a copy and (rarely) one chunk
// allocation, never one allocation per string. Stored views stay valid until the arena dies;
// moving an arena keeps them valid (chunks are never reallocated).
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace ontarix {

class StringArena {
public:
    StringArena() = default;
    StringArena(StringArena&&) noexcept = default;
    StringArena& operator=(StringArena&&) noexcept = default;
    StringArena(const StringArena&) = delete;
    StringArena& operator=(const StringArena&) = delete;

    // Copies s into the arena and returns a view of the copy.
    std::string_view store(std::string_view s);

    // Bytes held, for memory accounting.
    std::size_t bytes_reserved() const noexcept { return reserved_; }

private:
    static constexpr std::size_t kChunk = 64 * 1024;

    std::vector<std::unique_ptr<char[]>> chunks_;
    char* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t reserved_ = 0;
};

}  // namespace ontarix
