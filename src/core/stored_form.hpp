// The byte forms the module's objects are stored in (pickle): fixed-width fields in the machine's
// own byte order, which must be little-endian, written back to back.
//
// A reader checks every field against what is left before it reads it: a truncated, forged or
// damaged form fails as a Fault of kind Content, "invalid <what>: <why>", never as a read past the
// end or an allocation that the data cannot justify (count() bounds a count by the bytes left).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/fault.hpp"

namespace ontarix {

static_assert(std::endian::native == std::endian::little,
              "stored forms are written in the machine's own byte order, which must be little-endian");

template <class T>
void put_field(std::string& out, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

class StoredFormReader {
public:
    // `what` names the form in errors ("ClosureIndex state").
    StoredFormReader(std::string_view data, const char* what) : data_(data), what_(what) {}

    template <class T>
    T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        T value;
        std::memcpy(&value, take(sizeof(T)), sizeof(T));
        return value;
    }
    const char* take(std::uint64_t n) {
        if (n > data_.size() - pos_) invalid("it ends early");
        const char* p = data_.data() + pos_;
        pos_ += n;
        return p;
    }
    // A u64 count of items of `size` bytes each, which the rest of the data must be able to hold.
    std::uint64_t count(std::uint64_t size) {
        const auto n = get<std::uint64_t>();
        if (n > (data_.size() - pos_) / size) invalid("a count exceeds its data");
        return n;
    }
    bool done() const noexcept { return pos_ == data_.size(); }
    std::size_t position() const noexcept { return pos_; }

    [[noreturn]] void invalid(const char* why) const {
        raise_fault(std::string("invalid ") + what_ + ": " + why,
                    FaultCause{FaultCause::Kind::Content, 0, 0, 0, why});
    }

private:
    std::string_view data_;
    const char* what_;
    std::size_t pos_ = 0;
};

}  // namespace ontarix
