#include "core/pool_scores.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/batch_kernel.hpp"
#include "core/combine.hpp"
#include "core/profile_kernels.hpp"
#include "core/term_kernels.hpp"

namespace ontarix {

class PoolScores::Impl {
public:
    virtual ~Impl() = default;
    virtual std::unique_ptr<Scratch> scratch() const = 0;
    // v_c over the pool, for a profile that is not empty.
    virtual void best(Scratch& scratch, std::size_t profile, std::span<double> out) const = 0;
};

namespace {

// resnik: the first rank of each pool term's scored list that the profile's terms reach.
class ResnikBest final : public PoolScores::Impl {
public:
    struct Marks final : PoolScores::Scratch {
        explicit Marks(std::size_t ranks) : stamps(ranks) {}
        Stamps stamps;
    };

    ResnikBest(const ClosureIndex& index, const ProfileList& profiles,
               std::span<const std::uint32_t> pool)
        : index_(index), profiles_(profiles), pool_(pool) {}

    std::unique_ptr<PoolScores::Scratch> scratch() const override {
        return std::make_unique<Marks>(index_.rank_count());
    }

    void best(PoolScores::Scratch& scratch, std::size_t profile,
              std::span<double> out) const override {
        Stamps& marks = static_cast<Marks&>(scratch).stamps;
        marks.next_row();
        for (const std::uint32_t d : profiles_[profile]) {
            for (const std::uint32_t r : index_.scored().of(d)) marks.mark(r);
        }
        const std::span<const double> rank_ic = index_.rank_ic();
        for (std::size_t i = 0; i < pool_.size(); ++i) {
            double value = 0.0;
            for (const std::uint32_t r : index_.scored().of(pool_[i])) {
                if (marks.marked(r)) {
                    value = rank_ic[r];
                    break;
                }
            }
            out[i] = value;
        }
    }

private:
    const ClosureIndex& index_;
    const ProfileList& profiles_;
    std::span<const std::uint32_t> pool_;
};

// Where a term's score can come from: the keys (ranks of its scored list, or terms of its
// expansion or Wang ancestors) that a term must share with another to score above 0.0 with it.
// Empty for jiang_conrath, which scores terms that share nothing.
struct ScoringKeys {
    const TermLists* lists = nullptr;  // term -> keys
    std::size_t space = 0;             // keys are below it

    static ScoringKeys of(const ClosureIndex& index, const WangTable* wang, TermMeasure measure) {
        switch (measure) {
            case TermMeasure::JiangConrath:
                return {};
            case TermMeasure::SemanticJaccard:
                return {&index.expansions(), index.size()};
            case TermMeasure::Wang:
                return {&wang->ancestors, index.size()};
            default:
                return {&index.scored(), index.rank_count()};
        }
    }
};

// Any other measure: its kernel with the 'max' combine, the profile as the row and every pool
// term a column profile of its own. A pool term that shares no key with the profile's terms
// scores 0.0 with all of them: it is answered without the kernel, which would score it with
// every term of the profile.
template <class Kernel>
class KernelBest final : public PoolScores::Impl {
public:
    struct KernelScratch final : PoolScores::Scratch {
        KernelScratch(typename Kernel::Scratch s, std::size_t keys) : inner(std::move(s)), marks(keys) {}
        typename Kernel::Scratch inner;
        Stamps marks;  // the profile's keys
    };

    template <class Make>
    KernelBest(const ProfileList& profiles, std::span<const std::uint32_t> pool, ScoringKeys keys,
               Make&& make)
        : kernel_(make(columns_)), profiles_(profiles), pool_(pool), keys_(keys) {}

    std::unique_ptr<PoolScores::Scratch> scratch() const override {
        return std::make_unique<KernelScratch>(kernel_.scratch(), keys_.space);
    }

    void best(PoolScores::Scratch& scratch, std::size_t profile,
              std::span<double> out) const override {
        auto& s = static_cast<KernelScratch&>(scratch);
        if (keys_.lists != nullptr) {
            s.marks.next_row();
            for (const std::uint32_t d : profiles_[profile]) {
                for (const std::uint32_t key : keys_.lists->of(d)) s.marks.mark(key);
            }
        }
        kernel_.prepare(s.inner, profile);
        for (std::size_t i = 0; i < pool_.size(); ++i) {
            if (keys_.lists != nullptr && !shares_a_key(s.marks, pool_[i])) {
                out[i] = 0.0;
                continue;
            }
            out[i] = kernel_.score(s.inner, profile, i);
        }
        kernel_.clear(s.inner, profile);
    }

private:
    bool shares_a_key(const Stamps& marks, std::uint32_t term) const noexcept {
        for (const std::uint32_t key : keys_.lists->of(term)) {
            if (marks.marked(key)) return true;
        }
        return false;
    }

    kernels::ScoringColumns columns_;  // filled by `make` for the kernels that read them
    Kernel kernel_;
    const ProfileList& profiles_;
    std::span<const std::uint32_t> pool_;
    ScoringKeys keys_;
};

template <TermMeasure kMeasure>
std::unique_ptr<const PoolScores::Impl> mica_best(const ClosureIndex& index,
                                                  const ProfileList& profiles,
                                                  std::span<const std::uint32_t> pool,
                                                  const ProfileList& columns) {
    using Kernel = kernels::MicaCombine<kMeasure>;
    return std::make_unique<KernelBest<Kernel>>(
        profiles, pool, ScoringKeys::of(index, nullptr, kMeasure),
        [&](kernels::ScoringColumns& laid_out) {
            laid_out = kernels::scoring_columns(index, kMeasure, columns);
            return Kernel(index, profiles, columns, laid_out, Combine::Max);
        });
}

template <TermMeasure kMeasure>
std::unique_ptr<const PoolScores::Impl> overlap_best(const ClosureIndex& index,
                                                     const WangTable* wang,
                                                     const ProfileList& profiles,
                                                     std::span<const std::uint32_t> pool,
                                                     const ProfileList& columns) {
    using Kernel = kernels::OverlapCombine<kMeasure>;
    return std::make_unique<KernelBest<Kernel>>(
        profiles, pool, ScoringKeys::of(index, wang, kMeasure), [&](kernels::ScoringColumns&) {
            return Kernel(index, wang, profiles, columns, Combine::Max);
        });
}

}  // namespace

PoolScores::PoolScores(const ClosureIndex& index, const WangTable* wang, TermMeasure measure,
                       const ProfileList& profiles, std::span<const std::uint32_t> pool)
    : index_(index), wang_(wang), measure_(measure), profiles_(profiles), pool_(pool) {
    if (measure == TermMeasure::Wang && wang == nullptr) {
        raise_fault("Wang's measure on an index without edges");
    }
    if (measure == TermMeasure::Resnik) {
        impl_ = std::make_unique<ResnikBest>(index, profiles, pool);
        return;
    }
    // Each pool term a column profile of its own. The kernels keep references to it: it lives
    // in the object, which outlives them.
    columns_.begin.reserve(pool.size() + 1);
    for (const std::uint32_t t : pool) columns_.add(std::span<const std::uint32_t>(&t, 1));
    switch (measure) {
        case TermMeasure::Lin:
            impl_ = mica_best<TermMeasure::Lin>(index, profiles, pool, columns_);
            break;
        case TermMeasure::JiangConrath:
            impl_ = mica_best<TermMeasure::JiangConrath>(index, profiles, pool, columns_);
            break;
        case TermMeasure::Relevance:
            impl_ = mica_best<TermMeasure::Relevance>(index, profiles, pool, columns_);
            break;
        case TermMeasure::InformationCoefficient:
            impl_ = mica_best<TermMeasure::InformationCoefficient>(index, profiles, pool, columns_);
            break;
        case TermMeasure::GraphIc:
            impl_ = overlap_best<TermMeasure::GraphIc>(index, nullptr, profiles, pool, columns_);
            break;
        case TermMeasure::SemanticJaccard:
            impl_ = overlap_best<TermMeasure::SemanticJaccard>(index, nullptr, profiles, pool, columns_);
            break;
        case TermMeasure::Wang:
            impl_ = overlap_best<TermMeasure::Wang>(index, wang, profiles, pool, columns_);
            break;
        case TermMeasure::Resnik:
            break;
    }
}

PoolScores::~PoolScores() = default;

std::unique_ptr<PoolScores::Scratch> PoolScores::scratch() const { return impl_->scratch(); }

void PoolScores::best(Scratch& scratch, std::size_t profile, std::span<double> out) const {
    if (profiles_[profile].empty()) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    impl_->best(scratch, profile, out);
}

void PoolScores::term_scores(std::size_t profile, std::span<const std::uint32_t> terms,
                             std::span<double> out) const {
    const ProfileTerms mine = profiles_[profile];
    const std::size_t n = mine.size();
    kernels::with_term_kernel(index_, mine, terms, measure_, [&](const auto& kernel) {
        auto s = kernel.scratch();
        for (std::size_t k = 0; k < n; ++k) {
            kernel.prepare(s, k);
            for (std::size_t j = 0; j < terms.size(); ++j) {
                out[j * n + k] = counted(kernel.score(s, k, j));
            }
            kernel.clear(s, k);
        }
    });
}

}  // namespace ontarix
