#include "python/index_measures.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "core/batch_scoring.hpp"
#include "core/lock_free_section.hpp"
#include "core/profile_measures.hpp"
#include "core/similarity_record.hpp"
#include "core/term_measures.hpp"
#include "python/call_boundary.hpp"
#include "python/convert.hpp"
#include "python/index_input.hpp"
#include "python/interpreter_waiter.hpp"
#include "python/numpy_matrix.hpp"
#include "python/prepared_profiles.hpp"
#include "python/record_class.hpp"

namespace ontarix::py {
namespace {

// ---- signatures ------------------------------------------------------------------------------

using Params = std::array<const char*, kMaxParams>;
ONTARIX_INDEX_METHOD(kSemanticJaccard, "semantic_jaccard", (Params{"term1", "term2"}), 2, 2, 2, 1);
ONTARIX_INDEX_METHOD(kMaxIc, "max_information_content", (Params{"term1", "term2"}), 2, 2, 2, 1);
ONTARIX_INDEX_METHOD(kMica, "most_informative_common_ancestor", (Params{"term1", "term2"}), 2, 2,
                     2, 1);
ONTARIX_INDEX_METHOD(kTermSimilarity, "term_similarity", (Params{"term1", "term2", "measure"}), 3,
                     2, 2, 1);
ONTARIX_INDEX_METHOD(kPhenomizer, "phenomizer", (Params{"set1", "set2"}), 2, 2, 2, 1);
ONTARIX_INDEX_METHOD(kSimilarity, "similarity", (Params{"set1", "set2", "measure", "combine"}), 4,
                     2, 2, 1);
ONTARIX_INDEX_METHOD(kBestMatches, "best_matches", (Params{"set1", "set2", "measure"}), 3, 2, 2,
                     1);
ONTARIX_INDEX_METHOD(kCompare, "compare",
                     (Params{"set1", "set2", "set_id", "measure", "combine"}), 5, 2, 3, 1);
ONTARIX_INDEX_METHOD(kTermMatrix, "term_similarity_matrix",
                     (Params{"terms1", "terms2", "measure", "threads"}), 4, 1, 2, 1);
ONTARIX_INDEX_METHOD(kMatrix, "similarity_matrix",
                     (Params{"sets1", "sets2", "measure", "combine", "threads"}), 5, 1, 2, 1);
ONTARIX_INDEX_METHOD(kTopK, "top_k",
                     (Params{"queries", "candidates", "k", "measure", "combine", "threads"}), 6,
                     1, 2, 1);

constexpr std::array<const FunctionSpec*, 11> kSpecs{
    &kSemanticJaccard, &kMaxIc, &kMica, &kTermSimilarity, &kPhenomizer, &kSimilarity,
    &kBestMatches, &kCompare, &kTermMatrix, &kMatrix, &kTopK};

// ---- measure and combine names ----------------------------------------------------------------
// One table: each name's meaning, and the order in which errors list them.

constexpr std::array<const char*, 9> kTermNames{
    "max_information_content", "semantic_jaccard", "resnik", "lin", "jiang_conrath",
    "relevance", "information_coefficient", "graph_ic", "wang"};
constexpr std::array<TermMeasure, 9> kTermMeasures{
    TermMeasure::Resnik, TermMeasure::SemanticJaccard, TermMeasure::Resnik, TermMeasure::Lin,
    TermMeasure::JiangConrath, TermMeasure::Relevance, TermMeasure::InformationCoefficient,
    TermMeasure::GraphIc, TermMeasure::Wang};
// The profile measures that take no combine, before the term measures in profile methods.
constexpr std::array<const char*, 4> kProfileNames{"phenomizer", "jaccard", "expanded_jaccard",
                                                   "simgic"};
constexpr std::array<ProfileMeasure, 4> kProfileMeasures{
    ProfileMeasure::Phenomizer, ProfileMeasure::Jaccard, ProfileMeasure::ExpandedJaccard,
    ProfileMeasure::SimGic};
constexpr std::array<const char*, 6> kCombineNames{"funsimavg", "funsimmax", "bma",
                                                   "max",       "avg",       "directed"};

std::string quoted_list(std::span<const char* const> names) {
    std::string out;
    for (const char* name : names) {
        if (!out.empty()) out += ", ";
        out += '\'';
        out += name;
        out += '\'';
    }
    return out;
}

// The position of `text` among `names`, or names.size().
std::size_t find_name(std::span<const char* const> names, Term text) {
    return static_cast<std::size_t>(
        std::find_if(names.begin(), names.end(), [&](const char* n) { return text == n; }) -
        names.begin());
}

[[noreturn, gnu::cold, gnu::noinline]] void raise_choice(const FunctionSpec& f, const char* param,
                                                        const std::string& listed, PyObject* got) {
    throw_error(PyExc_ValueError,
                PyUnicode_FromFormat("%s() argument '%s' must be one of %s, not %R",
                                     f.shown_name(), param, listed.c_str(), got));
}

Term name_argument(const FunctionSpec& f, const char* param, PyObject* obj) {
    return term_argument(f, param, obj);
}

}  // namespace

// A term measure; absent: `fallback`.
TermMeasure term_measure(const FunctionSpec& f, PyObject* obj, TermMeasure fallback) {
    if (obj == nullptr) return fallback;
    const std::size_t i = find_name(kTermNames, name_argument(f, "measure", obj));
    if (i == kTermNames.size()) raise_choice(f, "measure", quoted_list(kTermNames), obj);
    return kTermMeasures[i];
}

// A term measure with a combine, or a profile measure (which takes none). Absent: `fallback`.
ProfileScoring profile_scoring(const FunctionSpec& f, PyObject* measure, PyObject* combine,
                               ProfileScoring fallback) {
    std::optional<ProfileScoring> scoring;
    const char* name = "phenomizer";  // the measure's name, as errors give it
    if (measure == nullptr) {
        scoring = fallback;
    } else {
        const Term text = name_argument(f, "measure", measure);
        const std::size_t p = find_name(kProfileNames, text);
        if (p < kProfileNames.size()) {
            scoring = ProfileScoring(kProfileMeasures[p]);
            name = kProfileNames[p];
        } else {
            const std::size_t t = find_name(kTermNames, text);
            if (t == kTermNames.size()) {
                raise_choice(f, "measure",
                             quoted_list(kProfileNames) + ", " + quoted_list(kTermNames), measure);
            }
            scoring = ProfileScoring(kTermMeasures[t], Combine::FunSimAvg);
        }
    }
    if (combine == nullptr || combine == Py_None) return *scoring;
    const std::size_t c = find_name(kCombineNames, name_argument(f, "combine", combine));
    if (c == kCombineNames.size()) raise_choice(f, "combine", quoted_list(kCombineNames), combine);
    if (scoring->measure != ProfileMeasure::Combined) {
        throw_error(PyExc_ValueError,
                    PyUnicode_FromFormat("%s() argument 'combine' must be None with measure '%s': "
                                         "a combine applies to the term measures %s",
                                         f.shown_name(), name, quoted_list(kTermNames).c_str()));
    }
    scoring->combine = static_cast<Combine>(c);
    return *scoring;
}

namespace {

// Wang's table of the index, built on first use without the interpreter lock; a ValueError on an
// index without edges.
const WangTable* wang_table_for(const FunctionSpec& f, const ClosureIndex& index) {
    if (!index.structure().edges) {
        throw_error(PyExc_ValueError,
                    PyUnicode_FromFormat("%s() measure 'wang' needs the ontology's edges: build "
                                         "the index with ClosureIndex.from_relationships",
                                         f.shown_name()));
    }
    InterpreterWaiter waiter;
    LockFreeSection section(waiter);
    return index.structure().wang_table();
}

}  // namespace

const char* term_measure_name(TermMeasure measure) noexcept {
    // The first two names are the other names of resnik and semantic_jaccard.
    for (std::size_t i = 2; i < kTermMeasures.size(); ++i) {
        if (kTermMeasures[i] == measure) return kTermNames[i];
    }
    return "semantic_jaccard";
}

const WangTable* wang_if_needed(const FunctionSpec& f, const ClosureIndex& index,
                                TermMeasure measure) {
    return measure == TermMeasure::Wang ? wang_table_for(f, index) : nullptr;
}

const WangTable* wang_if_needed(const FunctionSpec& f, const ClosureIndex& index,
                                const ProfileScoring& scoring) {
    return scoring.measure == ProfileMeasure::Combined ? wang_if_needed(f, index, scoring.term)
                                                       : nullptr;
}

namespace {

// ---- one pair of terms ------------------------------------------------------------------------

std::uint32_t term_number(const ClosureIndex& index, const FunctionSpec& f, const BoundArgs& a,
                          std::size_t i) {
    return index.find(term_argument(f, f.params[i], a[i]));
}

PyObject* semantic_jaccard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return call_function(kSemanticJaccard, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const std::uint32_t t1 = term_number(index, kSemanticJaccard, a, 0);
        const std::uint32_t t2 = term_number(index, kSemanticJaccard, a, 1);
        return float_to_py(index_semantic_jaccard(index, t1, t2));
    });
}

PyObject* max_information_content(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return call_function(kMaxIc, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const std::uint32_t t1 = term_number(index, kMaxIc, a, 0);
        const std::uint32_t t2 = term_number(index, kMaxIc, a, 1);
        return float_to_py(index_max_information_content(index, t1, t2));
    });
}

PyObject* most_informative_common_ancestor(PyObject* self, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_function(kMica, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const std::uint32_t t1 = term_number(index, kMica, a, 0);
        const std::uint32_t t2 = term_number(index, kMica, a, 1);
        const std::uint32_t rank = common_rank(index, t1, t2);
        if (rank == ClosureIndex::kNoRank) return PyRef::borrow(Py_None);
        return term_score_to_py({index.text(index.ranked()[rank]), index.rank_ic()[rank]});
    });
}

PyObject* term_similarity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return call_function(kTermSimilarity, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const TermMeasure measure = term_measure(kTermSimilarity, a[2], TermMeasure::Resnik);
        const WangTable* wang = wang_if_needed(kTermSimilarity, index, measure);
        const std::uint32_t t1 = term_number(index, kTermSimilarity, a, 0);
        const std::uint32_t t2 = term_number(index, kTermSimilarity, a, 1);
        return float_to_py(term_score(index, wang, measure, t1, t2));
    });
}

// ---- one pair of profiles ---------------------------------------------------------------------

struct TwoProfiles {
    ProfileNumbering numbering;
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> second;
};

TwoProfiles two_profiles(const ClosureIndex& index, const FunctionSpec& f, const BoundArgs& a,
                         bool require_subjects = false) {
    TwoProfiles out{ProfileNumbering(index), {}, {}};
    out.first = profile_argument({&f, f.params[0], require_subjects}, a[0], out.numbering, index);
    out.second = profile_argument({&f, f.params[1], require_subjects}, a[1], out.numbering, index);
    return out;
}

// The profile's terms in UTF-8 byte order of their texts.
std::vector<std::uint32_t> in_text_order(const ProfileNumbering& numbering,
                                         std::vector<std::uint32_t> terms) {
    std::sort(terms.begin(), terms.end(), [&](std::uint32_t x, std::uint32_t y) {
        return numbering.text(x) < numbering.text(y);
    });
    return terms;
}

PyObject* phenomizer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return call_function(kPhenomizer, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const TwoProfiles p = two_profiles(index, kPhenomizer, a);
        return float_to_py(index_phenomizer(index, p.first, p.second));
    });
}

PyObject* similarity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return call_function(kSimilarity, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const ProfileScoring scoring =
            profile_scoring(kSimilarity, a[2], a[3], {TermMeasure::Resnik, Combine::FunSimAvg});
        const WangTable* wang = wang_if_needed(kSimilarity, index, scoring);
        const TwoProfiles p = two_profiles(index, kSimilarity, a,
                                           scoring.measure == ProfileMeasure::ExpandedJaccard);
        return float_to_py(profile_similarity(index, wang, p.first, p.second, scoring));
    });
}

PyObject* best_matches(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return call_function(kBestMatches, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const TermMeasure measure = term_measure(kBestMatches, a[2], TermMeasure::Resnik);
        const WangTable* wang = wang_if_needed(kBestMatches, index, measure);
        const TwoProfiles p = two_profiles(index, kBestMatches, a);
        const std::vector<std::uint32_t> first = in_text_order(p.numbering, p.first);
        const std::vector<std::uint32_t> second = in_text_order(p.numbering, p.second);
        const std::vector<TermMatch> matches =
            term_best_matches(index, wang, measure, first, second);
        const GcPause pause;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(matches.size())));
        if (!list) throw_pending();
        for (std::size_t i = 0; i < matches.size(); ++i) {
            const TermMatch& m = matches[i];
            PyRef ancestor = m.rank == ClosureIndex::kNoRank
                                 ? PyRef::borrow(Py_None)
                                 : str_to_py(index.text(index.ranked()[m.rank]));
            PyRef term = str_to_py(p.numbering.text(first[i]));
            PyRef match = str_to_py(p.numbering.text(second[m.match]));
            PyRef score = float_to_py(m.score);
            PyObject* entry = PyTuple_Pack(4, term.get(), match.get(), ancestor.get(), score.get());
            if (entry == nullptr) throw_pending();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
        }
        return list;
    });
}

// The record's metric: "phenomizer" for resnik + funsimavg, else "measure+combine".
std::string metric_of(const ProfileScoring& scoring) {
    if (scoring.is_phenomizer()) return "phenomizer";
    const std::size_t t = static_cast<std::size_t>(
        std::find(kTermMeasures.begin() + 1, kTermMeasures.end(), scoring.term) -
        kTermMeasures.begin());
    return std::string(kTermNames[t]) + "+" + kCombineNames[static_cast<std::size_t>(scoring.combine)];
}

PyObject* compare(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    return call_function(kCompare, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        ProfileScoring scoring =
            profile_scoring(kCompare, a[3], a[4], {TermMeasure::Resnik, Combine::FunSimAvg});
        if (scoring.measure == ProfileMeasure::Phenomizer) {
            scoring = ProfileScoring(TermMeasure::Resnik, Combine::FunSimAvg);
        } else if (scoring.measure != ProfileMeasure::Combined) {
            // Best matches need term scores.
            raise_choice(kCompare, "measure",
                         quoted_list(std::span(kProfileNames).first(1)) + ", " +
                             quoted_list(kTermNames),
                         a[3]);
        }
        const WangTable* wang = wang_if_needed(kCompare, index, scoring);
        const TwoProfiles p = two_profiles(index, kCompare, a);
        const Term set_id = a[2] != nullptr ? term_argument(kCompare, "set_id", a[2]) : Term();

        const std::vector<std::uint32_t> first = in_text_order(p.numbering, p.first);
        const std::vector<std::uint32_t> second = in_text_order(p.numbering, p.second);
        const std::vector<TermMatch> forward =
            term_best_matches(index, wang, scoring.term, first, second);
        const std::vector<TermMatch> backward =
            term_best_matches(index, wang, scoring.term, second, first);

        // The record's sets are numbers into strings of its own: first's terms, then second's.
        auto strings = std::make_shared<RunStrings>();
        strings->texts.reserve(first.size() + second.size());
        for (const std::uint32_t t : first) strings->texts.push_back(strings->arena.store(p.numbering.text(t)));
        for (const std::uint32_t t : second) strings->texts.push_back(strings->arena.store(p.numbering.text(t)));
        TermSetPairwiseSimilarity record = TermSetPairwiseSimilarity::make_default();
        record.set_id = strings->arena.store(set_id);
        TermNumberList subject(first.size());
        std::iota(subject.begin(), subject.end(), 0u);
        record.subject_termset = std::make_shared<const TermNumberList>(std::move(subject));
        record.object_termset.resize(second.size());
        std::iota(record.object_termset.begin(), record.object_termset.end(),
                  static_cast<std::uint32_t>(first.size()));
        for (const TermMatch& m : forward) {
            record.subject_best_matches.emplace_back(p.numbering.text(second[m.match]));
        }
        for (const TermMatch& m : backward) {
            record.object_best_matches.emplace_back(p.numbering.text(first[m.match]));
        }
        // The score similarity() gives, from the same function.
        record.average_score = profile_similarity(index, wang, p.first, p.second, scoring);
        // No pair at all (an empty side) has no best score either.
        double best = std::numeric_limits<double>::quiet_NaN();
        for (const TermMatch& m : forward) best = best == best ? std::max(best, m.score) : m.score;
        record.best_score = best;
        record.metric = strings->arena.store(metric_of(scoring));
        record.strings = std::move(strings);
        return record_to_py(std::move(record));
    });
}

// ---- batches ------------------------------------------------------------------------------------

PyObject* term_similarity_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return call_function(kTermMatrix, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const TermMeasure measure = term_measure(kTermMatrix, a[2], TermMeasure::Resnik);
        const unsigned threads = thread_count(kTermMatrix, "threads", a[3]);
        wang_if_needed(kTermMatrix, index, measure);
        const std::vector<std::uint32_t> rows = term_sequence(kTermMatrix, "terms1", a[0], index);
        const bool symmetric = a[1] == nullptr || a[1] == Py_None;
        const std::vector<std::uint32_t> cols =
            symmetric ? std::vector<std::uint32_t>() : term_sequence(kTermMatrix, "terms2", a[1], index);
        const std::vector<std::uint32_t>& columns = symmetric ? rows : cols;
        NumpyMatrix matrix(rows.size(), columns.size());
        InterpreterWaiter waiter;
        ontarix::term_similarity_matrix(index, rows, columns, symmetric, measure, matrix.data(),
                                        {threads, &waiter, 0});
        return matrix.take();
    });
}

PyObject* similarity_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return call_function(kMatrix, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const ProfileScoring scoring =
            profile_scoring(kMatrix, a[2], a[3], ProfileMeasure::Phenomizer);
        const unsigned threads = thread_count(kMatrix, "threads", a[4]);
        wang_if_needed(kMatrix, index, scoring);
        const bool expanded = scoring.measure == ProfileMeasure::ExpandedJaccard;
        const bool symmetric = a[1] == nullptr || a[1] == Py_None;
        ProfileNumbering numbering = call_numbering(index, std::array{a[0], a[1]});
        constexpr auto kSequence = CallProfiles::Form::Sequence;
        const CallProfiles sets1({&kMatrix, "sets1", expanded}, a[0], numbering, index, kSequence);
        const CallProfiles sets2 =
            symmetric ? CallProfiles()
                      : CallProfiles({&kMatrix, "sets2", expanded}, a[1], numbering, index, kSequence);
        const ProfileList& rows = sets1.profiles();
        const ProfileList& columns = symmetric ? rows : sets2.profiles();
        NumpyMatrix matrix(rows.size(), columns.size());
        InterpreterWaiter waiter;
        profile_similarity_matrix(index, rows, columns, symmetric, scoring, matrix.data(),
                                  {threads, &waiter, numbering.space(), sets1.cache(),
                                   symmetric ? sets1.cache() : sets2.cache()});
        return matrix.take();
    });
}

PyObject* top_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return call_function(kTopK, args, nargs, kwnames, [&](const BoundArgs& a) -> PyRef {
        const ClosureIndex& index = index_of(self);
        const std::size_t k = a[2] == nullptr ? 10 : positive_count(kTopK, "k", a[2]);
        const ProfileScoring scoring = profile_scoring(kTopK, a[3], a[4], ProfileMeasure::Phenomizer);
        const unsigned threads = thread_count(kTopK, "threads", a[5]);
        wang_if_needed(kTopK, index, scoring);
        const bool expanded = scoring.measure == ProfileMeasure::ExpandedJaccard;
        const bool all_vs_all = a[1] == nullptr || a[1] == Py_None;
        ProfileNumbering numbering = call_numbering(index, std::array{a[0], a[1]});
        const CallProfiles queries({&kTopK, "queries", expanded}, a[0], numbering, index);
        const CallProfiles others =
            all_vs_all ? CallProfiles()
                       : CallProfiles({&kTopK, "candidates", expanded}, a[1], numbering, index);
        const CallProfiles& candidates = all_vs_all ? queries : others;

        NeighbourLists found;
        {
            // The names stay referenced by `queries` and `others` (or their prepared objects,
            // which the call's arguments hold), so the views the core sorts by stay valid while
            // other threads run.
            InterpreterWaiter waiter;
            const BatchOptions options{threads, &waiter, numbering.space(), queries.cache(),
                                       candidates.cache()};
            std::optional<NeighbourOrder> made;
            const NeighbourOrder& order = candidates.order() != nullptr
                                              ? *candidates.order()
                                              : made.emplace(candidates.name_texts());
            found = profile_top_k(index, queries.profiles(), candidates.profiles(), all_vs_all,
                                  order, k, scoring, options);
        }
        return neighbour_dict(queries.names(), candidates.names(), found);
    });
}

// ---- the method table ---------------------------------------------------------------------------

using Method = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef method(const FunctionSpec& f, Method fn, const char* doc) {
    return {f.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// The names as the doc strings list them.
#define TERM_MEASURES                                                                            \
    "'resnik' (also 'max_information_content'), 'lin', 'jiang_conrath', 'relevance',\n"          \
    "'information_coefficient', 'graph_ic', 'semantic_jaccard' and 'wang' (an index\n"           \
    "built by ClosureIndex.from_relationships only); every one is symmetric."
#define PROFILE_MEASURES                                                                         \
    "measure: 'phenomizer' (resnik + funsimavg), 'jaccard' (the sets as given),\n"               \
    "'expanded_jaccard' (the Jaccard index of the sets' expansions; a term that is no\n"         \
    "subject of the index raises KeyError), 'simgic' (summed IC of the expansions'\n"            \
    "intersection over that of their union), or a term measure: " TERM_MEASURES "\n"             \
    "combine (term measures only; None means 'funsimavg'): 'funsimavg', 'funsimmax',\n"          \
    "'bma', 'max', 'avg' and 'directed' (the mean of set1's best scores against set2).\n"        \
    "Every profile measure and combine is symmetric except 'directed'. A term score\n"           \
    "that is nan counts as 0.0; an empty set gives nan."

const PyMethodDef g_methods[] = {
    method(kSemanticJaccard, semantic_jaccard,
           "semantic_jaccard($self, term1, term2)\n--\n\n"
           "The Jaccard index of the two terms' expansions, as semantic_jaccard_similarity\n"
           "computes it on the table (nan when both expansions are empty)."),
    method(kMaxIc, max_information_content,
           "max_information_content($self, term1, term2)\n--\n\n"
           "The Resnik score: the largest information content among the common ancestors\n"
           "('owl:Thing' excluded), 0.0 when none is larger. With the table's own information\n"
           "content, exactly what max_information_content returns on the table."),
    method(kMica, most_informative_common_ancestor,
           "most_informative_common_ancestor($self, term1, term2)\n--\n\n"
           "(ancestor, information content) of the ancestor that gives the Resnik score,\n"
           "ties to the smallest term in UTF-8 byte order; None when the score is 0.0."),
    method(kTermSimilarity, term_similarity,
           "term_similarity($self, term1, term2, *, measure='resnik')\n--\n\n"
           "The score of two terms under a term measure: " TERM_MEASURES "\n"
           "Formulas (README, Measures) count a term's information content only when it is\n"
           "above 0.0 and the term is not 'owl:Thing', so a custom information content never\n"
           "makes a score nan or negative."),
    method(kPhenomizer, phenomizer,
           "phenomizer($self, set1, set2)\n--\n\n"
           "The symmetric best-match average of Resnik scores between two sets of terms:\n"
           "phenomizer_score over the table of max_information_content for every pair;\n"
           "nan when either set is empty."),
    method(kSimilarity, similarity,
           "similarity($self, set1, set2, *, measure='resnik', combine=None)\n--\n\n"
           "The score of two sets of terms.\n" PROFILE_MEASURES "\n"
           "The same double as the pair's cell of similarity_matrix and its score in top_k."),
    method(kBestMatches, best_matches,
           "best_matches($self, set1, set2, *, measure='resnik')\n--\n\n"
           "For each term of set1 in UTF-8 byte order: (term, its best match in set2, their\n"
           "most informative common ancestor or None, the score). Ties go to the smallest\n"
           "term of set2. Empty when set2 is empty. measure: " TERM_MEASURES "\n"
           "The ancestor is None for 'graph_ic', 'semantic_jaccard' and 'wang', and wherever\n"
           "the two terms share no ancestor that scores; a nan score counts as 0.0."),
    method(kCompare, compare,
           "compare($self, set1, set2, set_id='', *, measure='resnik', combine=None)\n--\n\n"
           "A TermSetPairwiseSimilarity record of the two sets: the sets, the best match of\n"
           "each term of either side (terms in UTF-8 byte order), average_score = the\n"
           "similarity score, best_score = the largest best-match score, metric\n"
           "'phenomizer' for resnik + funsimavg and 'measure+combine' otherwise ('lin+bma').\n"
           "measure: 'phenomizer' or a term measure (as for similarity); combine as there."),
    method(kTermMatrix, term_similarity_matrix,
           "term_similarity_matrix($self, terms1, terms2=None, *, "
           "measure='max_information_content', threads=None)\n--\n\n"
           "A float64 numpy array of shape (len(terms1), len(terms2)) of the measure for\n"
           "every pair; terms2=None compares terms1 with itself. measure: " TERM_MEASURES "\n"
           "Runs on `threads` threads (None: every CPU this process may use) without the\n"
           "interpreter lock; the result does not depend on it."),
    method(kMatrix, similarity_matrix,
           "similarity_matrix($self, sets1, sets2=None, *, measure='phenomizer', "
           "combine=None, threads=None)\n--\n\n"
           "A float64 numpy array of shape (len(sets1), len(sets2)) of the measure for every\n"
           "pair of term sets; sets2=None compares sets1 with itself.\n" PROFILE_MEASURES "\n"
           "Threads as for term_similarity_matrix."),
    method(kTopK, top_k,
           "top_k($self, queries, candidates=None, *, k=10, measure='phenomizer', "
           "combine=None, threads=None)\n--\n\n"
           "For every query (a mapping of name to set of terms), its k best candidates as\n"
           "(name, score) pairs: score descending (nan after every number), then name in\n"
           "UTF-8 byte order; the score is similarity(query, candidate). candidates=None\n"
           "compares the queries with each other, a query never being its own neighbour.\n"
           "Measures, combines and threads as for similarity_matrix; no matrix is held in\n"
           "memory."),
};
#undef PROFILE_MEASURES
#undef TERM_MEASURES

}  // namespace

// {query name: [(candidate name, score), ...]} of lists in query order; names by position.
PyRef neighbour_dict(std::span<const PyRef> query_names, std::span<const PyRef> candidate_names,
                     const NeighbourLists& found) {
    const GcPause pause;
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) throw_pending();
    for (std::size_t q = 0; q < query_names.size(); ++q) {
        const std::size_t first = found.begin[q];
        const std::size_t last = found.begin[q + 1];
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(last - first)));
        if (!list) throw_pending();
        for (std::size_t i = first; i < last; ++i) {
            PyRef score = float_to_py(found.items[i].score);
            PyObject* entry =
                PyTuple_Pack(2, candidate_names[found.items[i].candidate].get(), score.get());
            if (entry == nullptr) throw_pending();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - first), entry);
        }
        if (PyDict_SetItem(out.get(), query_names[q].get(), list.get()) < 0) throw_pending();
    }
    return out;
}

bool intern_measure_parameters() noexcept {
    for (const FunctionSpec* f : kSpecs) {
        if (!intern_parameter_names(*f)) return false;
    }
    return true;
}

std::span<const PyMethodDef> measure_methods() noexcept { return g_methods; }

}  // namespace ontarix::py
