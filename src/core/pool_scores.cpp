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

// Any other measure: its kernel with the 'max' combine, the profile as the row and every pool
// term a column profile of its own.
template <class Kernel>
class KernelBest final : public PoolScores::Impl {
public:
    struct KernelScratch final : PoolScores::Scratch {
        explicit KernelScratch(typename Kernel::Scratch s) : inner(std::move(s)) {}
        typename Kernel::Scratch inner;
    };

    template <class Make>
    KernelBest(std::size_t pool_size, Make&& make) : kernel_(make(columns_)), pool_size_(pool_size) {}

    std::unique_ptr<PoolScores::Scratch> scratch() const override {
        return std::make_unique<KernelScratch>(kernel_.scratch());
    }

    void best(PoolScores::Scratch& scratch, std::size_t profile,
              std::span<double> out) const override {
        auto& s = static_cast<KernelScratch&>(scratch).inner;
        kernel_.prepare(s, profile);
        for (std::size_t i = 0; i < pool_size_; ++i) out[i] = kernel_.score(s, profile, i);
        kernel_.clear(s, profile);
    }

private:
    kernels::ScoringColumns columns_;  // filled by `make` for the kernels that read them
    Kernel kernel_;
    std::size_t pool_size_;
};

template <TermMeasure kMeasure>
std::unique_ptr<const PoolScores::Impl> mica_best(const ClosureIndex& index,
                                                  const ProfileList& profiles,
                                                  const ProfileList& columns) {
    using Kernel = kernels::MicaCombine<kMeasure>;
    return std::make_unique<KernelBest<Kernel>>(
        columns.size(), [&](kernels::ScoringColumns& laid_out) {
            laid_out = kernels::scoring_columns(index, kMeasure, columns);
            return Kernel(index, profiles, columns, laid_out, Combine::Max);
        });
}

template <TermMeasure kMeasure>
std::unique_ptr<const PoolScores::Impl> overlap_best(const ClosureIndex& index,
                                                     const WangTable* wang,
                                                     const ProfileList& profiles,
                                                     const ProfileList& columns) {
    using Kernel = kernels::OverlapCombine<kMeasure>;
    return std::make_unique<KernelBest<Kernel>>(columns.size(), [&](kernels::ScoringColumns&) {
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
            impl_ = mica_best<TermMeasure::Lin>(index, profiles, columns_);
            break;
        case TermMeasure::JiangConrath:
            impl_ = mica_best<TermMeasure::JiangConrath>(index, profiles, columns_);
            break;
        case TermMeasure::Relevance:
            impl_ = mica_best<TermMeasure::Relevance>(index, profiles, columns_);
            break;
        case TermMeasure::InformationCoefficient:
            impl_ = mica_best<TermMeasure::InformationCoefficient>(index, profiles, columns_);
            break;
        case TermMeasure::GraphIc:
            impl_ = overlap_best<TermMeasure::GraphIc>(index, nullptr, profiles, columns_);
            break;
        case TermMeasure::SemanticJaccard:
            impl_ = overlap_best<TermMeasure::SemanticJaccard>(index, nullptr, profiles, columns_);
            break;
        case TermMeasure::Wang:
            impl_ = overlap_best<TermMeasure::Wang>(index, wang, profiles, columns_);
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
