#include "core/index_state.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

#include "core/fault.hpp"

namespace ontarix {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the stored form is written in the machine's own byte order, which must be little-endian");

constexpr std::string_view kMagic{"ONTXIDX\x01", 8};
constexpr std::uint64_t kCustomIc = 1;

template <class T>
void put(std::string& out, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

[[noreturn]] void invalid(const char* what) {
    raise_fault(std::string("invalid ClosureIndex state: ") + what,
                FaultCause{FaultCause::Kind::Content, 0, 0, 0, what});
}

class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}

    template <class T>
    T get() {
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
    // A count of items of `size` bytes each that the rest of the data can hold.
    std::uint64_t count(std::uint64_t size) {
        const auto n = get<std::uint64_t>();
        if (n > (data_.size() - pos_) / size) invalid("a count exceeds its data");
        return n;
    }
    bool done() const noexcept { return pos_ == data_.size(); }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

}  // namespace

std::string save_index_state(const ClosureIndex& index) {
    const std::uint32_t n = index.size();
    std::uint64_t text_bytes = 0;
    for (const Term t : index.texts) text_bytes += t.size();
    std::string out;
    out.reserve(kMagic.size() + 32 + n * 17 + text_bytes + index.expansions.items.size() * 4);
    out.append(kMagic);
    put<std::uint64_t>(out, index.custom_ic ? kCustomIc : 0);
    put<std::uint64_t>(out, n);
    put<std::uint64_t>(out, text_bytes);
    put<std::uint64_t>(out, index.expansions.items.size());
    for (const Term t : index.texts) put<std::uint32_t>(out, static_cast<std::uint32_t>(t.size()));
    for (const Term t : index.texts) out.append(t);
    for (const std::uint8_t s : index.is_subject) put<std::uint8_t>(out, s);
    for (std::uint32_t t = 0; t < n; ++t) {
        put<std::uint32_t>(out, static_cast<std::uint32_t>(index.expansions.of(t).size()));
    }
    for (const std::uint32_t e : index.expansions.items) put<std::uint32_t>(out, e);
    for (const double v : index.ic) put<double>(out, v);
    return out;
}

ClosureIndex load_index_state(std::string_view state) {
    Reader in(state);
    if (std::string_view(in.take(kMagic.size()), kMagic.size()) != kMagic) {
        invalid("it is not a stored ClosureIndex of this version");
    }
    const auto flags = in.get<std::uint64_t>();
    if ((flags & ~kCustomIc) != 0) invalid("unknown flags");
    const std::uint64_t n = in.count(4 + 1 + 4 + 8);
    if (n >= UINT32_MAX) invalid("too many terms");
    const std::uint64_t text_bytes = in.count(1);
    const std::uint64_t entries = in.count(4);

    ClosureIndex index;
    index.custom_ic = (flags & kCustomIc) != 0;
    std::vector<std::uint32_t> lengths(n);
    std::uint64_t length_sum = 0;
    for (auto& length : lengths) {
        length = in.get<std::uint32_t>();
        length_sum += length;
    }
    if (length_sum != text_bytes) invalid("text lengths do not add up");
    const char* bytes = in.take(text_bytes);
    index.texts.reserve(n);
    for (const std::uint32_t length : lengths) {
        const Term text = index.arena.store(Term(bytes, length));
        bytes += length;
        // Strictly ascending: the numbering is the byte order, and no text appears twice.
        if (!index.texts.empty() && !(index.texts.back() < text)) invalid("texts out of order");
        index.texts.push_back(text);
    }
    index.is_subject.resize(n);
    for (auto& s : index.is_subject) {
        s = in.get<std::uint8_t>();
        if (s > 1) invalid("bad subject flag");
        index.subject_count += s;
    }
    index.expansions.begin.assign(n + 1, 0);
    for (std::uint64_t t = 0; t < n; ++t) {
        const auto length = in.get<std::uint32_t>();
        if (length != 0 && !index.is_subject[t]) invalid("a term that is no subject has an expansion");
        index.expansions.begin[t + 1] = index.expansions.begin[t] + length;
    }
    if (index.expansions.begin[n] != entries) invalid("expansion lengths do not add up");
    index.expansions.items.resize(entries);
    for (std::uint64_t t = 0; t < n; ++t) {
        std::uint64_t previous = 0;
        for (std::size_t k = index.expansions.begin[t]; k < index.expansions.begin[t + 1]; ++k) {
            const auto e = in.get<std::uint32_t>();
            const bool first = k == index.expansions.begin[t];
            if (e >= n || (!first && e <= previous)) invalid("an expansion is not ascending");
            index.expansions.items[k] = e;
            previous = e;
        }
    }
    index.ic.resize(n);
    for (auto& v : index.ic) v = in.get<double>();
    if (!in.done()) invalid("trailing bytes");
    restore_derived(index);
    return index;
}

}  // namespace ontarix
