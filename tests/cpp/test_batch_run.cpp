#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/batch_run.hpp"
#include "core/fault.hpp"

namespace ontarix {
namespace {

namespace fs = std::filesystem;

struct Scored {
    std::set<std::string> subject;
    std::set<std::string> object;
    double score;
    friend bool operator==(const Scored&, const Scored&) = default;
};
using Results = std::map<std::string, Scored>;

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ontarix_batch_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& text) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }

    // Records keyed by set id; the producer's order is unspecified.
    static Results run(const std::string& input, const std::string& closure) {
        Results out;
        for (const auto& r : run_batch(input, closure)) {
            Scored s{{}, {}, r.best_score};
            for (auto t : r.subject_numbers()) s.subject.emplace(r.text(t));
            for (auto t : r.object_termset) s.object.emplace(r.text(t));
            EXPECT_EQ(r.metric, "SWO:0000243");
            EXPECT_EQ(r.average_score, 0.0);
            EXPECT_TRUE(r.subject_best_matches.empty() && r.object_best_matches.empty());
            EXPECT_TRUE(out.emplace(std::string(r.set_id), std::move(s)).second);
        }
        return out;
    }

    static std::string failure(const std::string& input, const std::string& closure) {
        try {
            run_batch(input, closure);
        } catch (const Fault& f) {
            return f.message();
        }
        return "no failure";
    }

    fs::path dir_;
};

const std::string kClosure = "A,A\nA,R\nB,B\nB,R\nC,C\n";
const std::string kMissing = "called `Option::unwrap()` on a `None` value";

TEST_F(BatchRun, ScoresEverySetAgainstTheExpandedReference) {
    const Results got = run(write("in", "set1,A\nset2,B\nset3,C\nset2,C\n"), write("cl", kClosure));
    const Results want = {
        {"set1", {{"A", "R"}, {"A", "R"}, 1.0}},
        {"set2", {{"A", "R"}, {"B", "C", "R"}, 0.25}},
        {"set3", {{"A", "R"}, {"C"}, 0.0}},
    };
    EXPECT_EQ(got, want);
}

TEST_F(BatchRun, OnlyExpansionsAreCompared) {
    const Results got = run(write("in", "set1,A\nset2,B\n"), write("cl", "A,R\nB,R\n"));
    EXPECT_EQ(got.at("set2").score, 1.0);
    EXPECT_EQ(got.at("set2").object, std::set<std::string>{"R"});
}

TEST_F(BatchRun, ThirdOfOverlap) {
    const Results got = run(write("in", "set2,B\nset1,A\n"), write("cl", kClosure));
    EXPECT_EQ(got.at("set2").score, 1.0 / 3.0);
}

TEST_F(BatchRun, Failures) {
    const std::string closure = write("cl", kClosure);
    for (const std::string input : {"", "Set1,A\n", " set1,A\n", "set2,A\n"}) {
        EXPECT_EQ(failure(write("in", input), closure), kMissing) << input;
    }
    // A term of any set without a closure entry fails the whole run.
    EXPECT_EQ(failure(write("in", "set1,A\nset2,D\n"), closure), kMissing);
    EXPECT_EQ(failure(write("in", "set1,D\nset2,A\n"), closure), kMissing);
    EXPECT_EQ(failure(write("in", "set1,A\n"), write("empty", "")), kMissing);
}

TEST_F(BatchRun, InputFileIsReadBeforeTheClosureFileIsOpened) {
    const std::string missing_closure = (dir_ / "nope").string();
    EXPECT_EQ(failure((dir_ / "gone").string(), missing_closure).rfind(
                  "Failed to open file: " + (dir_ / "gone").string() + " ", 0),
              0u);
    EXPECT_EQ(failure(write("in", "set1,A\n"), missing_closure)
                  .rfind("Failed to open file: " + missing_closure + " ", 0),
              0u);
    // A broken input file fails before the (missing) closure file is looked at.
    EXPECT_EQ(failure(write("in", "set1\n"), missing_closure), kMissing);
}

TEST_F(BatchRun, RecordsOutliveTheRunThatMadeThem) {
    std::vector<TermSetPairwiseSimilarity> kept;
    {
        auto records = run_batch(write("in", "set1,A\nset2,B\n"), write("cl", kClosure));
        kept = records;  // copies share the run's storage
    }
    std::set<std::string> ids;
    for (const auto& r : kept) ids.emplace(r.set_id);
    EXPECT_EQ(ids, (std::set<std::string>{"set1", "set2"}));
}

}  // namespace
}  // namespace ontarix
