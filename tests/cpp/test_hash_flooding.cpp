// Hash flooding and hash quality.
//
// An attacker who knew the hash key could pick thousands of terms that share one bucket and make
// every table operation linear. The key is secret and drawn per process; these tests show that
// keys crafted to collide under one key spread out evenly under another, that two processes draw
// different keys, and that every length path of hash_bytes (0..40 bytes covers the empty, 1-3,
// 4-7, 8-16 and multi-block branches, and the tails of the block loop) mixes every input bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/hashing.hpp"

namespace ontarix {
namespace {

constexpr HashKey kAttacked{0x243f6a8885a308d3ULL, 0x13198a2e03707345ULL, 0xa4093822299f31d1ULL,
                            0x082efa98ec4e6c89ULL};
constexpr HashKey kFresh{0x452821e638d01377ULL, 0xbe5466cf34e90c6dULL, 0xc0ac29b7c97c50ddULL,
                         0x3f84d5b5b5470917ULL};

std::uint64_t hash_of(const std::string& s, const HashKey& key) {
    return hash_bytes(s.data(), s.size(), key);
}

// Which end of the hash picks the bucket: power-of-two tables that mask take the low bits; the
// open-addressing tables of terms.hpp take their group position from the high bits.
struct Bucketing {
    const char* name;
    bool high;

    std::size_t bucket(std::uint64_t h, unsigned bits) const {
        return high ? static_cast<std::size_t>(h >> (64 - bits))
                    : static_cast<std::size_t>(h & ((std::uint64_t{1} << bits) - 1));
    }
};

void PrintTo(const Bucketing& b, std::ostream* os) { *os << b.name; }

// Pearson's statistic of `counts` against the uniform distribution.
double chi_square(const std::vector<std::size_t>& counts, std::size_t total) {
    const double expected = static_cast<double>(total) / static_cast<double>(counts.size());
    double chi = 0;
    for (const std::size_t c : counts) {
        const double d = static_cast<double>(c) - expected;
        chi += d * d / expected;
    }
    return chi;
}

// chi-square with k-1 degrees of freedom has mean k-1 and deviation sqrt(2(k-1)); eight
// deviations above the mean is out of reach of chance, and well within reach of a real bias.
double chi_square_bound(std::size_t buckets) {
    const double df = static_cast<double>(buckets - 1);
    return df + 8 * std::sqrt(2 * df);
}

class Flooding : public ::testing::TestWithParam<Bucketing> {};

TEST_P(Flooding, KeysCraftedToCollideUnderOneKeySpreadUnderAnother) {
    const Bucketing& way = GetParam();
    constexpr unsigned kBits = 10;  // a table of 1024 buckets
    constexpr std::size_t kCrafted = 1000;

    // The attack: brute force over term-like names until a thousand share bucket 0.
    std::vector<std::string> crafted;
    for (std::uint64_t i = 0; crafted.size() < kCrafted; ++i) {
        std::string s = "HP:" + std::to_string(i);
        if (way.bucket(hash_of(s, kAttacked), kBits) == 0) crafted.push_back(std::move(s));
    }

    for (const HashKey* key : {&kFresh, &process_hash_key()}) {
        std::vector<std::size_t> fine(std::size_t{1} << kBits), coarse(64);
        for (const auto& s : crafted) {
            const std::uint64_t h = hash_of(s, *key);
            ++fine[way.bucket(h, kBits)];
            ++coarse[way.bucket(h, 6)];
        }
        // About one key per bucket on average; even the fullest stays small (a Poisson(1) bucket
        // of 12 or more has odds near 1e-9).
        EXPECT_LE(*std::max_element(fine.begin(), fine.end()), 12u);
        EXPECT_LT(chi_square(coarse, kCrafted), chi_square_bound(coarse.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, Flooding,
                         ::testing::Values(Bucketing{"low_bits", false}, Bucketing{"high_bits", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The key is drawn when the library loads, so only a separate process can show a new one; a
// forked child would inherit ours.
std::string key_of_new_process() {
    const std::string command = std::string("'") + ONTARIX_HASH_KEY_PROBE + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    return got ? std::string(line) : std::string();
}

TEST(ProcessKey, EachProcessDrawsItsOwn) {
    const std::string first = key_of_new_process();
    const std::string second = key_of_new_process();
    ASSERT_EQ(first.size(), 65u) << first;  // four 16-digit words and a newline
    ASSERT_EQ(second.size(), 65u) << second;
    EXPECT_NE(first, second);

    const HashKey& ours = process_hash_key();
    char mine[80];
    std::snprintf(mine, sizeof mine, "%016llx%016llx%016llx%016llx\n",
                  static_cast<unsigned long long>(ours.k0), static_cast<unsigned long long>(ours.k1),
                  static_cast<unsigned long long>(ours.k2), static_cast<unsigned long long>(ours.k3));
    EXPECT_NE(first, mine);
    EXPECT_NE(second, mine);
}

// Flipping one input bit flips each output bit with probability one half, at every length and
// every bit position; a byte that a length branch fails to read shows up as a position whose flips
// change nothing, a weak fold as a position far from 32 of 64.
TEST(HashQuality, EveryInputBitAvalanchesAtEveryLength) {
    constexpr int kSamples = 48;
    std::mt19937_64 rng(20240607);
    std::array<std::uint64_t, 64> output_flips{};
    std::uint64_t trials = 0;
    for (std::size_t n = 1; n <= 40; ++n) {
        std::vector<double> flips_at(8 * n, 0.0);
        for (int sample = 0; sample < kSamples; ++sample) {
            std::string s(n, '\0');
            for (char& c : s) c = static_cast<char>(rng());
            const std::uint64_t h = hash_of(s, kFresh);
            for (std::size_t bit = 0; bit < 8 * n; ++bit) {
                s[bit / 8] = static_cast<char>(s[bit / 8] ^ (1 << (bit % 8)));
                const std::uint64_t diff = h ^ hash_of(s, kFresh);
                s[bit / 8] = static_cast<char>(s[bit / 8] ^ (1 << (bit % 8)));
                flips_at[bit] += std::popcount(diff);
                for (int out = 0; out < 64; ++out) output_flips[out] += (diff >> out) & 1;
                ++trials;
            }
        }
        for (std::size_t bit = 0; bit < 8 * n; ++bit) {
            const double mean = flips_at[bit] / kSamples;
            EXPECT_GT(mean, 26.0) << "length " << n << ", input bit " << bit;
            EXPECT_LT(mean, 38.0) << "length " << n << ", input bit " << bit;
        }
    }
    for (int out = 0; out < 64; ++out) {
        const double p = static_cast<double>(output_flips[out]) / static_cast<double>(trials);
        EXPECT_NEAR(p, 0.5, 0.02) << "output bit " << out;
    }
}

// Every key bit matters at every length: a key word that some length path never mixes in would
// leave that path's hashes the same under many keys, and guessable.
TEST(HashQuality, EveryKeyBitAvalanchesAtEveryLength) {
    std::mt19937_64 rng(7);
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        const std::uint64_t h = hash_of(s, kFresh);
        double total = 0;
        for (int word = 0; word < 4; ++word) {
            for (int bit = 0; bit < 64; ++bit) {
                HashKey k = kFresh;
                std::uint64_t* w[] = {&k.k0, &k.k1, &k.k2, &k.k3};
                *w[word] ^= std::uint64_t{1} << bit;
                const int flips = std::popcount(h ^ hash_of(s, k));
                EXPECT_GT(flips, 4) << "length " << n << ", key word " << word << ", bit " << bit;
                total += flips;
            }
        }
        EXPECT_NEAR(total / 256, 32.0, 3.0) << "length " << n;
    }
}

// Term-like inputs at every length, and their lengths alone: strings that differ only in length
// or in their last byte must land apart, at either end of the hash.
TEST(HashQuality, StructuredKeysSpreadAtEveryLength) {
    constexpr std::size_t kKeys = 4096;
    for (std::size_t n = 1; n <= 40; ++n) {
        std::vector<std::size_t> low(64), high(64);
        std::size_t total = 0;
        // Counters written in the last bytes of a fixed prefix: the least random input there is.
        for (std::size_t i = 0; i < kKeys && (n >= 2 || i < 256); ++i) {
            std::string s(n, 'x');
            s[n - 1] = static_cast<char>(i);
            if (n >= 2) s[n - 2] = static_cast<char>(i >> 8);
            const std::uint64_t h = hash_of(s, kFresh);
            ++low[h & 63];
            ++high[h >> 58];
            ++total;
        }
        EXPECT_LT(chi_square(low, total), chi_square_bound(64)) << "length " << n;
        EXPECT_LT(chi_square(high, total), chi_square_bound(64)) << "length " << n;
    }
    std::vector<std::uint64_t> zeros;
    for (std::size_t n = 0; n <= 40; ++n) zeros.push_back(hash_of(std::string(n, '\0'), kFresh));
    std::sort(zeros.begin(), zeros.end());
    EXPECT_EQ(std::adjacent_find(zeros.begin(), zeros.end()), zeros.end());
}

// Term identifiers: consecutive small integers, the usual keys of TermIdSet.
TEST(HashQuality, ConsecutiveIdentifiersSpread) {
    std::vector<std::size_t> low(64), high(64);
    constexpr std::size_t kIds = 1 << 14;
    for (std::uint64_t id = 1; id <= kIds; ++id) {
        const std::uint64_t h = hash_u64(id, kFresh);
        ++low[h & 63];
        ++high[h >> 58];
    }
    EXPECT_LT(chi_square(low, kIds), chi_square_bound(64));
    EXPECT_LT(chi_square(high, kIds), chi_square_bound(64));
}

}  // namespace
}  // namespace ontarix
