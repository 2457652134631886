// Every committed fuzz input, replayed through the same checks the fuzz targets run: the seed
// corpus of each target and every regression ever saved. Built with the ordinary compiler, so the
// properties hold in every test run, with no clang or libFuzzer needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/checks.hpp"

namespace ontarix::fuzzing {
namespace {

namespace fs = std::filesystem;

using Check = std::string (*)(std::string_view);

// One row per fuzz target: the name of its corpus directories and the check its body runs.
const std::map<std::string, Check>& targets() {
    static const std::map<std::string, Check> table = {
        {"reader_whole_vs_chunked", &check_reader},
        {"utf8_validator", &check_utf8},
        {"index_state_loader", &check_index_state},
    };
    return table;
}

const fs::path kFuzzDir = ONTARIX_FUZZ_DIR;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> files_under(const fs::path& dir) {
    std::vector<fs::path> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

class Replay : public ::testing::TestWithParam<std::string> {};

TEST_P(Replay, EveryCorpusAndRegressionFileHoldsTheProperties) {
    const std::string& target = GetParam();
    const Check check = targets().at(target);
    std::size_t seeds = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        for (const fs::path& file : files_under(kFuzzDir / kind / target)) {
            if (std::string_view(kind) == "corpus") ++seeds;
            EXPECT_EQ(check(slurp(file)), "") << file;
        }
    }
    // A moved directory or a wrong path must not turn the replay into a test of nothing.
    EXPECT_GE(seeds, 10u) << "seed corpus of " << target << " missing under " << kFuzzDir;
}

INSTANTIATE_TEST_SUITE_P(Targets, Replay,
                         ::testing::Values("reader_whole_vs_chunked", "utf8_validator",
                                           "index_state_loader"),
                         [](const auto& info) { return info.param; });

// A directory nobody replays would hold inputs that silently stop being checked.
TEST(ReplayLayout, EveryCorpusDirectoryBelongsToATarget) {
    for (const char* kind : {"corpus", "regressions"}) {
        if (!fs::is_directory(kFuzzDir / kind)) continue;
        for (const auto& entry : fs::directory_iterator(kFuzzDir / kind)) {
            EXPECT_TRUE(entry.is_directory()) << entry.path();
            EXPECT_TRUE(targets().contains(entry.path().filename().string())) << entry.path();
        }
    }
}

// The checks must be able to fail: each row breaks one property on purpose and expects the check
// to say so, so a check that quietly compared a run with itself would not pass unnoticed.
struct BrokenCase {
    const char* name;
    std::string (*broken)();
};

void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }

std::string reference_sees_different_records() {
    ReaderRun run = read_records("a,b\nc,d\n", SIZE_MAX);
    ReaderRun ref = reference_records("a,b\nc,e\n");
    return run == ref ? "" : "differs";
}

std::string reference_sees_different_position() {
    // Same fields, the second record one line further down.
    ReaderRun run = reference_records("a,b\nc,d\n");
    ReaderRun ref = reference_records("a,b\n\rc,d\n");
    return run.bytes == ref.bytes && !(run == ref) ? "differs" : "";
}

std::string expected_table_sees_missing_value() {
    return expected_table(reference_records("set1\n")).error;
}

std::string table_mismatch_reported() {
    TableRun want = expected_table(reference_records("a,x\n"));
    want.pairs.clear();
    return compare_table("a,x\n", SIZE_MAX, want);
}

std::string utf8_reference_rejects_surrogate() {
    return reference_valid_up_to("ab\xED\xA0\x80") == 2 ? "rejected" : "";
}

class ChecksCanFail : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(ChecksCanFail, ReportsTheDifference) { EXPECT_NE(GetParam().broken(), ""); }

INSTANTIATE_TEST_SUITE_P(
    Rows, ChecksCanFail,
    ::testing::Values(BrokenCase{"records", &reference_sees_different_records},
                      BrokenCase{"positions", &reference_sees_different_position},
                      BrokenCase{"missing_value", &expected_table_sees_missing_value},
                      BrokenCase{"table", &table_mismatch_reported},
                      BrokenCase{"utf8", &utf8_reference_rejects_surrogate}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ontarix::fuzzing
