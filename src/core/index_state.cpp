#include "core/index_state.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "core/fault.hpp"
#include "core/stored_form.hpp"
#include "core/utf8.hpp"

namespace ontarix {
namespace {

constexpr std::string_view kMagicPrefix{"ONTXIDX", 7};
constexpr char kVersion = 2;
constexpr std::uint64_t kCustomIc = 1;
constexpr std::uint64_t kEdges = 2;
constexpr std::uint64_t kFrequencies = 4;

}  // namespace

std::string save_index_state(const ClosureIndex& index) {
    const IndexStructure& s = index.structure();
    const std::uint32_t n = index.size();
    std::uint64_t text_bytes = 0;
    for (const Term t : s.texts) text_bytes += t.size();
    const std::size_t edges = s.edges ? s.edges->edges.size() : 0;
    const bool frequencies = s.counts.size() == n;
    std::string out;
    out.reserve(kMagicPrefix.size() + 1 + 40 + n * 17 + text_bytes + s.expansions.items.size() * 4 +
                edges * 16);
    out.append(kMagicPrefix);
    out.push_back(kVersion);
    put_field<std::uint64_t>(out, (index.custom_ic() ? kCustomIc : 0) | (s.edges ? kEdges : 0) |
                                (frequencies ? kFrequencies : 0));
    put_field<std::uint64_t>(out, n);
    put_field<std::uint64_t>(out, text_bytes);
    put_field<std::uint64_t>(out, s.expansions.items.size());
    for (const Term t : s.texts) put_field<std::uint32_t>(out, static_cast<std::uint32_t>(t.size()));
    for (const Term t : s.texts) out.append(t);
    for (const std::uint8_t flag : s.is_subject) put_field<std::uint8_t>(out, flag);
    for (std::uint32_t t = 0; t < n; ++t) {
        put_field<std::uint32_t>(out, static_cast<std::uint32_t>(s.expansions.of(t).size()));
    }
    for (const std::uint32_t e : s.expansions.items) put_field<std::uint32_t>(out, e);
    for (const double v : index.ic()) put_field<double>(out, v);
    if (frequencies) {
        put_field<std::uint64_t>(out, s.total);
        for (const std::uint64_t count : s.counts) put_field<std::uint64_t>(out, count);
    }
    if (s.edges) {
        put_field<std::uint64_t>(out, edges);
        for (std::size_t e = 0; e < edges; ++e) {
            put_field<std::uint32_t>(out, s.edges->edges[e].child);
            put_field<std::uint32_t>(out, s.edges->edges[e].parent);
            put_field<double>(out, s.edges->weights[e]);
        }
    }
    return out;
}

ClosureIndex load_index_state(std::string_view state) {
    StoredFormReader in(state, "ClosureIndex state");
    if (std::string_view(in.take(kMagicPrefix.size()), kMagicPrefix.size()) != kMagicPrefix) {
        in.invalid("it is not a stored ClosureIndex");
    }
    const char version = *in.take(1);
    if (version != 1 && version != kVersion) in.invalid("it was stored by an unknown version");
    const auto flags = in.get<std::uint64_t>();
    const std::uint64_t known = version == 1 ? kCustomIc : kCustomIc | kEdges | kFrequencies;
    if ((flags & ~known) != 0) in.invalid("unknown flags");
    const std::uint64_t n = in.count(4 + 1 + 4 + 8);
    if (n >= UINT32_MAX) in.invalid("too many terms");
    const std::uint64_t text_bytes = in.count(1);
    const std::uint64_t entries = in.count(4);

    auto s = std::make_unique<IndexStructure>();
    std::vector<std::uint32_t> lengths(n);
    std::uint64_t length_sum = 0;
    for (auto& length : lengths) {
        length = in.get<std::uint32_t>();
        length_sum += length;
    }
    if (length_sum != text_bytes) in.invalid("text lengths do not add up");
    const char* bytes = in.take(text_bytes);
    s->texts.reserve(n);
    for (const std::uint32_t length : lengths) {
        const Term text(bytes, length);
        bytes += length;
        // Strictly ascending: the numbering is the byte order, and no text appears twice.
        if (!s->texts.empty() && !(s->texts.back() < text)) in.invalid("texts out of order");
        // Texts become Python strs later: bytes that are no UTF-8 must fail here, not in a method.
        if (!is_utf8(text)) in.invalid("a text is not UTF-8");
        s->texts.push_back(s->arena.store(text));
    }
    s->is_subject.resize(n);
    for (auto& flag : s->is_subject) {
        flag = in.get<std::uint8_t>();
        if (flag > 1) in.invalid("bad subject flag");
        s->subject_count += flag;
    }
    s->expansions.begin.assign(n + 1, 0);
    for (std::uint64_t t = 0; t < n; ++t) {
        const auto length = in.get<std::uint32_t>();
        if (length != 0 && !s->is_subject[t]) in.invalid("a term that is no subject has an expansion");
        s->expansions.begin[t + 1] = s->expansions.begin[t] + length;
    }
    if (s->expansions.begin[n] != entries) in.invalid("expansion lengths do not add up");
    s->expansions.items.resize(entries);
    for (std::uint64_t t = 0; t < n; ++t) {
        std::uint64_t previous = 0;
        for (std::size_t k = s->expansions.begin[t]; k < s->expansions.begin[t + 1]; ++k) {
            const auto e = in.get<std::uint32_t>();
            const bool first = k == s->expansions.begin[t];
            if (e >= n || (!first && e <= previous)) in.invalid("an expansion is not ascending");
            s->expansions.items[k] = e;
            previous = e;
        }
    }
    std::vector<double> ic(n);
    for (auto& v : ic) v = in.get<double>();
    if ((flags & kFrequencies) != 0) {
        s->total = in.get<std::uint64_t>();
        s->counts.resize(n);
        for (auto& count : s->counts) {
            count = in.get<std::uint64_t>();
            if (count > s->total) in.invalid("a frequency exceeds the total");
        }
    }
    if ((flags & kEdges) != 0) {
        const std::uint64_t count = in.count(16);
        WangEdges edges;
        edges.edges.reserve(count);
        edges.weights.reserve(count);
        for (std::uint64_t e = 0; e < count; ++e) {
            const auto child = in.get<std::uint32_t>();
            const auto parent = in.get<std::uint32_t>();
            const auto weight = in.get<double>();
            if (child >= n || parent >= n) in.invalid("an edge names an unknown term");
            if (!(weight > 0.0 && weight <= 1.0)) in.invalid("an edge weight is not in (0, 1]");
            edges.edges.push_back({child, parent});
            edges.weights.push_back(weight);
        }
        s->edges = std::move(edges);
    }
    if (!in.done()) in.invalid("trailing bytes");

    s->numbers.reserve(n);
    for (const Term text : s->texts) s->numbers.number(text);
    std::vector<std::size_t> count(n, 0);
    for (const std::uint32_t t : s->expansions.items) ++count[t];
    s->holders.begin.assign(n + 1, 0);
    for (std::uint64_t t = 0; t < n; ++t) s->holders.begin[t + 1] = s->holders.begin[t] + count[t];
    s->holders.items.resize(entries);
    std::vector<std::size_t> cursor(s->holders.begin.begin(), s->holders.begin.end() - 1);
    for (std::uint32_t t = 0; t < n; ++t) {
        for (const std::uint32_t e : s->expansions.of(t)) s->holders.items[cursor[e]++] = t;
    }
    return finish_index(std::move(s), std::move(ic), (flags & kCustomIc) != 0);
}

}  // namespace ontarix
