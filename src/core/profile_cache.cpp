#include "core/profile_cache.hpp"

namespace ontarix {

const kernels::ScoredUnions& ProfileCache::scored_unions() const {
    std::call_once(unions_once_, [&] {
        unions_ = std::make_unique<const kernels::ScoredUnions>(
            kernels::scored_unions(*index_, *profiles_));
    });
    return *unions_;
}

const kernels::ScoringColumns& ProfileCache::scoring_columns() const {
    std::call_once(columns_once_, [&] {
        // Every measure of m lets the same terms score.
        columns_ = std::make_unique<const kernels::ScoringColumns>(
            kernels::scoring_columns(*index_, TermMeasure::Resnik, *profiles_));
    });
    return *columns_;
}

const ProfileList& ProfileCache::expansions() const {
    std::call_once(expansions_once_, [&] {
        auto out = std::make_unique<ProfileList>();
        out->begin.reserve(profiles_->size() + 1);
        for (std::size_t p = 0; p < profiles_->size(); ++p) {
            out->add(expand_profile(*index_, (*profiles_)[p]));
        }
        expansions_ = std::move(out);
    });
    return *expansions_;
}

}  // namespace ontarix
