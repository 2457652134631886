// Boost.Unordered's open-addressing map against std::unordered_map, on the workload of this
// library: a million short ontology identifiers inserted, then probed (all hits, then all misses).
// Both tables use the same seeded hash, so only the table layout differs.
//
//   BOOST="$(python -c 'import boost_headers; print(boost_headers.get_include())')"
//   g++ -O2 -std=c++20 -Isrc -I"$BOOST" bench/hash_table_bench.cpp src/core/hashing.cpp -o /tmp/htb
//   /tmp/htb
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "core/hashing.hpp"

namespace {

using ontarix::TermEq;
using ontarix::TermHash;

std::vector<std::string> identifiers(std::size_t n, const char* prefix) {
    std::vector<std::string> out;
    out.reserve(n);
    char buf[32];
    for (std::size_t i = 0; i < n; ++i) {
        // Distinct and scattered, like identifiers sampled from an ontology (7919 is coprime
        // to the modulus, so no two i collide).
        std::snprintf(buf, sizeof buf, "%s:%07zu", prefix, (i * 7919u) % 10000000u);
        out.emplace_back(buf);
    }
    return out;
}

template <class Map>
double run(const std::vector<std::string>& keys, const std::vector<std::string>& absent,
           std::size_t& checksum) {
    const auto start = std::chrono::steady_clock::now();
    Map map;
    for (std::size_t i = 0; i < keys.size(); ++i) map.emplace(std::string_view(keys[i]), i);
    for (const auto& k : keys) checksum += map.find(std::string_view(k))->second;
    for (const auto& k : absent) checksum += map.count(std::string_view(k));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    constexpr std::size_t kN = 1'000'000;
    const auto keys = identifiers(kN, "HP");
    const auto absent = identifiers(kN, "MP");
    std::size_t checksum = 0;
    double flat = 1e9, node = 1e9;
    for (int round = 0; round < 5; ++round) {  // best of five
        flat = std::min(flat, run<boost::unordered_flat_map<std::string_view, std::size_t, TermHash, TermEq>>(keys, absent, checksum));
        node = std::min(node, run<std::unordered_map<std::string_view, std::size_t, TermHash, TermEq>>(keys, absent, checksum));
    }
    std::printf("1M inserts + 1M hits + 1M misses (best of 5)\n");
    std::printf("boost::unordered_flat_map  %7.1f ms\n", flat * 1e3);
    std::printf("std::unordered_map         %7.1f ms\n", node * 1e3);
    std::printf("ratio std/flat             %7.2fx   (checksum %zu)\n", node / flat, checksum);
}
