#include "core/closure_table.hpp"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/term_numbering.hpp"

namespace ontarix {
namespace {

// Rows usually arrive grouped by subject (closures are written out subject by subject), so the
// number of runs of equal subjects is the number of subjects there, and an upper bound always.
// Reserving that many avoids every rehash of the outer table without the waste of reserving
// one slot per row.
std::size_t subject_runs(const TripleList& rows) noexcept {
    std::size_t runs = 0;
    const Term* previous = nullptr;
    for (const Triple& row : rows) {
        if (previous == nullptr || row.subject != *previous) ++runs;
        previous = &row.subject;
    }
    return runs;
}

}  // namespace

ClosureTable convert_list_of_tuples_to_hashmap(TripleList rows) {
    ClosureTable table;
    table.reserve(subject_runs(rows));
    for (const Triple& row : rows) {
        // try_emplace finds or creates in one probe per level.
        PredicateMap& predicates = table.try_emplace(row.subject).first->second;
        predicates.try_emplace(row.predicate).first->second.insert(row.object);
    }
    return table;
}

FlatClosure flatten_closure_rows(const TripleList& rows) {
    constexpr std::uint32_t kNone = UINT32_MAX;
    if (rows.size() >= kNone) throw std::length_error("too many rows to number");
    const std::size_t n = rows.size();
    FlatClosure out;

    // Rows as numbers. Subjects are indexed in first-seen order as they are met. Rows usually
    // come grouped by subject and share a handful of predicates, so a subject or predicate equal
    // to the previous row's reuses its number without a probe.
    TermNumbering numbering;
    numbering.reserve(n / 2);  // a guess that spares most rehashes without a table per string
    std::vector<std::uint32_t> subject_of(n), predicate_of(n), object_of(n);
    std::vector<std::uint32_t> subject_index;  // string number -> subject index, or kNone
    Term last_subject, last_predicate;
    std::uint32_t last_subject_index = kNone, last_predicate_number = kNone;
    bool grouped = true;  // every subject's rows are consecutive
    for (std::size_t r = 0; r < n; ++r) {
        const Triple& row = rows[r];
        if (last_subject_index == kNone || !same_text(row.subject, last_subject)) {
            const std::uint32_t s = numbering.number(row.subject);
            if (subject_index.size() < numbering.size()) {
                subject_index.resize(numbering.size(), kNone);
            }
            if (subject_index[s] == kNone) {
                subject_index[s] = static_cast<std::uint32_t>(out.subjects.size());
                out.subjects.push_back(s);
            } else {
                grouped = false;
            }
            last_subject = row.subject;
            last_subject_index = subject_index[s];
        }
        subject_of[r] = last_subject_index;
        if (last_predicate_number == kNone || !same_text(row.predicate, last_predicate)) {
            last_predicate_number = numbering.number(row.predicate);
            last_predicate = row.predicate;
        }
        predicate_of[r] = last_predicate_number;
        object_of[r] = numbering.number(row.object);
    }
    const std::size_t subjects = out.subjects.size();

    // Rows grouped by subject (counting sort, stable); in grouped input they already are.
    std::vector<std::uint32_t> start(subjects + 1, 0);
    for (std::size_t r = 0; r < n; ++r) ++start[subject_of[r] + 1];
    for (std::size_t i = 0; i < subjects; ++i) start[i + 1] += start[i];
    std::vector<std::uint32_t> by_subject(n);
    if (grouped) {
        for (std::size_t r = 0; r < n; ++r) by_subject[r] = static_cast<std::uint32_t>(r);
    } else {
        std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
        for (std::size_t r = 0; r < n; ++r) by_subject[next[subject_of[r]]++] = static_cast<std::uint32_t>(r);
    }

    // Each subject's predicates become consecutive groups; a predicate's group is found through
    // an array indexed by string number, stamped with the subject it was made for.
    std::vector<std::uint32_t> stamp(numbering.size(), kNone);
    std::vector<std::uint32_t> group_of_predicate(numbering.size());
    std::vector<std::uint32_t>& group_of_row = subject_of;  // reused: subject indices are done
    out.group_begin.reserve(subjects + 1);
    for (std::size_t i = 0; i < subjects; ++i) {
        out.group_begin.push_back(static_cast<std::uint32_t>(out.group_predicate.size()));
        for (std::uint32_t k = start[i]; k < start[i + 1]; ++k) {
            const std::uint32_t r = by_subject[k];
            const std::uint32_t p = predicate_of[r];
            if (stamp[p] != i) {
                stamp[p] = static_cast<std::uint32_t>(i);
                group_of_predicate[p] = static_cast<std::uint32_t>(out.group_predicate.size());
                out.group_predicate.push_back(p);
            }
            group_of_row[r] = group_of_predicate[p];
        }
    }
    out.group_begin.push_back(static_cast<std::uint32_t>(out.group_predicate.size()));
    const std::size_t groups = out.group_predicate.size();

    // Objects grouped by group (counting sort), then each group's repeats dropped in place.
    out.object_begin.assign(groups + 1, 0);
    for (std::size_t r = 0; r < n; ++r) ++out.object_begin[group_of_row[r] + 1];
    for (std::size_t g = 0; g < groups; ++g) out.object_begin[g + 1] += out.object_begin[g];
    out.objects.resize(n);
    {
        std::vector<std::uint32_t> next(out.object_begin.begin(), out.object_begin.end() - 1);
        for (std::size_t r = 0; r < n; ++r) out.objects[next[group_of_row[r]]++] = object_of[r];
    }
    std::fill(stamp.begin(), stamp.end(), kNone);
    std::uint32_t kept = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint32_t begin = out.object_begin[g];
        const std::uint32_t end = out.object_begin[g + 1];
        out.object_begin[g] = kept;
        for (std::uint32_t k = begin; k < end; ++k) {
            const std::uint32_t o = out.objects[k];
            out.objects[kept] = o;
            kept += stamp[o] != g;
            stamp[o] = static_cast<std::uint32_t>(g);
        }
    }
    out.object_begin[groups] = kept;
    out.objects.resize(kept);
    out.texts = numbering.release_texts();
    return out;
}

}  // namespace ontarix
