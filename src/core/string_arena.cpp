#include "core/string_arena.hpp"

#include <cstring>

namespace ontarix {

std::string_view StringArena::store(std::string_view s) {
    if (s.empty()) return std::string_view{};
    if (s.size() >= kChunk) {
        // Oversized strings get a chunk of their own so the current chunk is not abandoned.
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(s.size()));
        reserved_ += s.size();
        char* own = chunks_.back().get();
        std::memcpy(own, s.data(), s.size());
        return {own, s.size()};
    }
    if (s.size() > left_) {
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
        reserved_ += kChunk;
        cursor_ = chunks_.back().get();
        left_ = kChunk;
    }
    char* out = cursor_;
    std::memcpy(out, s.data(), s.size());
    cursor_ += s.size();
    left_ -= s.size();
    return {out, s.size()};
}

}  // namespace ontarix
