// Each pool term's best score against a profile, and the term scores behind it: the doubles of
// term_score, bit for bit, for every measure of an index without edges.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/closure_index.hpp"
#include "core/combine.hpp"
#include "core/pool_scores.hpp"
#include "core/term_measures.hpp"
#include "measure_fixtures.hpp"

namespace ontarix {
namespace {

using testing::same_double;

TEST(PoolScores, AreTheBestTermScoresOfEachPair) {
    // A random table whose subjects reach a few of the earlier terms.
    std::vector<std::string> texts;
    for (int i = 0; i < 80; ++i) texts.push_back(std::to_string(100 + i).insert(0, 1, 'T'));
    texts.push_back("owl:Thing");
    std::mt19937 rng(17);
    ClosureTable table;
    for (int i = 0; i < 80; ++i) {
        auto& reached = table[texts[i]]["p"];
        reached.insert(texts[i]);
        reached.insert(texts[80]);
        for (int k = 0; k < 4 && i > 0; ++k) reached.insert(texts[rng() % i]);
    }
    const ClosureIndex index = build_closure_index(closure_rows_of(table), nullptr, nullptr);

    ProfileList profiles;
    profiles.add(std::vector<std::uint32_t>{});  // empty: every value 0.0
    for (int p = 0; p < 12; ++p) {
        std::vector<std::uint32_t> terms;
        for (int k = 0; k < 1 + p % 5; ++k) terms.push_back(rng() % (index.size() + 2));
        std::sort(terms.begin(), terms.end());
        terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
        profiles.add(terms);
    }
    std::vector<std::uint32_t> pool;  // every term, and two the index lacks
    for (std::uint32_t t = 0; t < index.size() + 2; ++t) pool.push_back(t);

    for (const TermMeasure measure :
         {TermMeasure::Resnik, TermMeasure::Lin, TermMeasure::JiangConrath, TermMeasure::Relevance,
          TermMeasure::InformationCoefficient, TermMeasure::GraphIc, TermMeasure::SemanticJaccard}) {
        const PoolScores scores(index, nullptr, measure, profiles, pool);
        auto scratch = scores.scratch();
        std::vector<double> best(pool.size());
        for (std::size_t p = 0; p < profiles.size(); ++p) {
            const ProfileTerms profile = profiles[p];
            scores.best(*scratch, p, best);
            std::vector<double> each(pool.size() * profile.size());
            scores.term_scores(p, pool, each);
            for (std::size_t i = 0; i < pool.size(); ++i) {
                double expected = 0.0;
                for (std::size_t k = 0; k < profile.size(); ++k) {
                    const double s = counted(term_score(index, nullptr, measure, pool[i], profile[k]));
                    ASSERT_TRUE(same_double(each[i * profile.size() + k], s))
                        << static_cast<int>(measure) << " " << p << " " << i << " " << k;
                    expected = std::max(expected, s);
                }
                ASSERT_TRUE(same_double(best[i], expected))
                    << static_cast<int>(measure) << " " << p << " " << i;
            }
        }
    }
}

}  // namespace
}  // namespace ontarix
