#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/closure_table.hpp"
#include "core/term_numbering.hpp"
#include "xorshift.hpp"

namespace ontarix {
namespace {

using namespace std::string_literals;

// Strings of every length up to 40 that differ from each other in one byte at every position,
// including zero bytes and bytes outside ASCII: entries compare their first 16 bytes in place, so
// the lengths around 8 and 16 and padding-like zero bytes are where a shortcut would go wrong.
std::vector<std::string> near_misses() {
    std::vector<std::string> out;
    for (std::size_t n = 0; n <= 40; ++n) {
        const std::string base(n, 'a');
        out.push_back(base);
        out.push_back(base + '\0');
        for (std::size_t i = 0; i < n; ++i) {
            for (const char c : {'\0', 'b', '\xE9'}) {
                std::string s = base;
                s[i] = c;
                out.push_back(s);
            }
        }
    }
    return out;
}

TEST(TermNumbering, EqualStringsAndOnlyThoseShareANumber) {
    const std::vector<std::string> strings = near_misses();
    StringArena arena;
    TermNumbering numbering(&arena);
    std::map<std::string, std::uint32_t> model;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::string& s : strings) {
            // A copy, so that equality is by bytes, never by address.
            const std::string copy = s;
            const std::uint32_t id = numbering.number(copy);
            const auto [it, inserted] = model.emplace(s, static_cast<std::uint32_t>(model.size()));
            ASSERT_EQ(id, it->second) << ::testing::PrintToString(s);
            ASSERT_EQ(numbering.find(copy), id);
        }
    }
    ASSERT_EQ(numbering.size(), model.size());
    for (const auto& [text, id] : model) EXPECT_EQ(numbering.texts()[id], text);
    EXPECT_EQ(numbering.find("not there"), TermNumbering::kNone);
}

TEST(TermNumbering, StoredTextsSurviveTheCallersBuffer) {
    StringArena arena;
    TermNumbering numbering(&arena);
    {
        std::string buffer = "a-term-longer-than-sixteen-bytes";
        numbering.number(buffer);
        buffer.assign(buffer.size(), '#');
    }
    EXPECT_EQ(numbering.texts()[0], "a-term-longer-than-sixteen-bytes");
    EXPECT_EQ(numbering.find("a-term-longer-than-sixteen-bytes"), 0u);
}

// ---------------------------------------------------------------------------------------------
// The flat closure layout holds exactly the hash table's entries.

using Model = std::map<std::string, std::map<std::string, std::set<std::string>>>;

Model model_of(const ClosureTable& table) {
    Model out;
    for (const auto& [s, preds] : table) {
        for (const auto& [p, objs] : preds) {
            auto& set = out[std::string(s)][std::string(p)];
            for (const Term o : objs) set.emplace(o);
        }
    }
    return out;
}

Model model_of(const FlatClosure& flat) {
    Model out;
    EXPECT_EQ(flat.group_begin.size(), flat.subjects.size() + 1);
    EXPECT_EQ(flat.object_begin.size(), flat.group_predicate.size() + 1);
    for (std::size_t i = 0; i < flat.subjects.size(); ++i) {
        const std::string subject(flat.texts[flat.subjects[i]]);
        EXPECT_FALSE(out.contains(subject)) << "subject twice: " << subject;
        auto& preds = out[subject];
        for (std::uint32_t g = flat.group_begin[i]; g < flat.group_begin[i + 1]; ++g) {
            const std::string predicate(flat.texts[flat.group_predicate[g]]);
            EXPECT_FALSE(preds.contains(predicate)) << "predicate twice: " << predicate;
            auto& objects = preds[predicate];
            for (std::uint32_t k = flat.object_begin[g]; k < flat.object_begin[g + 1]; ++k) {
                EXPECT_TRUE(objects.emplace(flat.texts[flat.objects[k]]).second)
                    << "object twice under " << subject << "/" << predicate;
            }
            EXPECT_FALSE(objects.empty());
        }
    }
    return out;
}

struct RowsCase {
    const char* name;
    std::vector<std::string> rows;  // "s p o", one character each
};

void PrintTo(const RowsCase& c, std::ostream* os) { *os << c.name; }

class FlatClosureRows : public ::testing::TestWithParam<RowsCase> {};

TEST_P(FlatClosureRows, SameEntriesAsTheHashTable) {
    TripleList rows;
    for (const std::string& r : GetParam().rows) {
        rows.push_back({Term(r).substr(0, 1), Term(r).substr(1, 1), Term(r).substr(2, 1)});
    }
    const Model expected = model_of(convert_list_of_tuples_to_hashmap(rows));
    EXPECT_EQ(model_of(flatten_closure_rows(rows)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FlatClosureRows,
    ::testing::Values(
        RowsCase{"empty", {}},
        RowsCase{"repeats", {"AiB", "AiB", "AiB"}},
        // Subjects and predicates that come back after others; a term in every position.
        RowsCase{"interleaved", {"AiB", "EiA", "ApD", "AiC", "EpA", "AiB", "ApA", "BiA"}},
        RowsCase{"predicate_is_a_subject", {"ABC", "BAC", "CCC", "ABA"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlatClosure, RandomRowsSameEntriesAsTheHashTable) {
    testing::XorShift64 next{88172645463325252u};
    std::vector<std::string> texts;
    for (int i = 0; i < 60; ++i) texts.push_back(std::to_string(i) + ":T");
    for (int round = 0; round < 50; ++round) {
        TripleList rows;
        const std::size_t n = next() % 400;
        for (std::size_t r = 0; r < n; ++r) {
            rows.push_back({texts[next() % 60], texts[next() % 4], texts[next() % 60]});
        }
        ASSERT_EQ(model_of(flatten_closure_rows(rows)),
                  model_of(convert_list_of_tuples_to_hashmap(rows)))
            << "round " << round;
    }
}

}  // namespace
}  // namespace ontarix
