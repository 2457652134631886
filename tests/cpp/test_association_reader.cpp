#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/association_reader.hpp"
#include "core/fault.hpp"

namespace ontarix {
namespace {

using namespace std::string_literals;
using Ordered = std::map<std::string, std::set<std::string>>;

Ordered ordered(const TermSetMap& map) {
    Ordered out;
    for (const auto& [key, set] : map) {
        auto& values = out[std::string(key)];
        for (const Term v : set) values.emplace(v);
    }
    return out;
}

struct Loaded {
    Ordered map;
    std::string error;
    friend bool operator==(const Loaded&, const Loaded&) = default;
};

Loaded load(RecordReader reader) {
    try {
        return {ordered(parse_associations(std::move(reader)).map), ""};
    } catch (const Fault& f) {
        return {{}, f.message()};
    }
}

Loaded load(std::string_view input, std::size_t chunk = SIZE_MAX) {
    return load(RecordReader(std::make_unique<MemorySource>(input, chunk)));
}

const std::string kMissing = "called `Option::unwrap()` on a `None` value";

// ---------------------------------------------------------------------------------------------

struct LoadCase {
    const char* name;
    std::string input;
    Ordered map;
    std::string error = {};
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class Associations : public ::testing::TestWithParam<LoadCase> {};

// The numbered reading, turned back into strings.
Loaded load_numbered(std::string_view input, std::size_t chunk = SIZE_MAX) {
    StringArena arena;
    TermNumbering keys(&arena), values(&arena);
    try {
        const NumberedAssociations table = parse_numbered_associations(
            RecordReader(std::make_unique<MemorySource>(input, chunk)), keys, values);
        EXPECT_EQ(table.ranges.size(), keys.size());
        Ordered map;
        for (std::size_t k = 0; k < table.ranges.size(); ++k) {
            auto& set = map[std::string(keys.texts()[k])];
            for (std::uint32_t i = table.ranges[k].begin; i < table.ranges[k].end; ++i) {
                set.emplace(values.texts()[table.values[i]]);
            }
        }
        return {map, ""};
    } catch (const Fault& f) {
        return {{}, f.message()};
    }
}

TEST_P(Associations, NumberedReadingHoldsTheSameMapOrError) {
    const auto& c = GetParam();
    EXPECT_EQ(load_numbered(c.input), (Loaded{c.map, c.error}));
    EXPECT_EQ(load_numbered(c.input, 3), (Loaded{c.map, c.error}));
}

TEST_P(Associations, MapOrError) {
    const auto& c = GetParam();
    const Loaded whole = load(c.input);
    EXPECT_EQ(whole, (Loaded{c.map, c.error}));
    for (std::size_t chunk : {1, 2, 3, 5, 8}) EXPECT_EQ(load(c.input, chunk), whole) << chunk;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Associations,
    ::testing::Values(
        LoadCase{"empty_file", "", {}},
        LoadCase{"blank_lines_only", "\n\r\n\n", {}},
        LoadCase{"merge_and_dedupe", "a,x\na,y\nb,x\na,x\n", {{"a", {"x", "y"}}, {"b", {"x"}}}},
        LoadCase{"repeated_line", "k,v\nk,v\nk,v", {{"k", {"v"}}}},
        LoadCase{"keys_interleaved", "a,1\nb,2\na,3\nb,1\nc,1\na,1",
                 {{"a", {"1", "3"}}, {"b", {"1", "2"}}, {"c", {"1"}}}},
        LoadCase{"text_after_closing_quote", "a,\"x\"y", {{"a", {"xy"}}}},
        LoadCase{"space_is_part_of_value", "a,x\na, x", {{"a", {"x", " x"}}}},
        LoadCase{"case_matters", "a,x\nA,X\na,X", {{"a", {"x", "X"}}, {"A", {"X"}}}},
        LoadCase{"empty_key", ",x", {{"", {"x"}}}},
        LoadCase{"empty_value", "x,", {{"x", {""}}}},
        LoadCase{"empty_key_and_value", ",\n,", {{"", {""}}}},
        LoadCase{"third_column_ignored", "a,x,1\na,y,2", {{"a", {"x", "y"}}}},
        LoadCase{"hash_line_is_data", "#c,x", {{"#c", {"x"}}}},
        LoadCase{"key_equal_to_value", "A,A\nA,R\nR,A", {{"A", {"A", "R"}}, {"R", {"A"}}}},
        // Failures: the first record's width, then the reader's own errors.
        LoadCase{"first_record_one_field", "set1", {}, kMissing},
        LoadCase{"first_record_one_field_then_pairs", "set1\nset2,B", {}, kMissing},
        LoadCase{"tab_separated", "a\tx\nb\ty\n", {}, kMissing},
        LoadCase{"second_record_wider", "set1,A\nset2,B,C", {},
                 "called `Result::unwrap()` on an `Err` value: Error(UnequalLengths { pos: "
                 "Some(Position { byte: 7, line: 2, record: 1 }), expected_len: 2, len: 3 })"},
        LoadCase{"spaces_line", "a,x\n   \n", {},
                 "called `Result::unwrap()` on an `Err` value: Error(UnequalLengths { pos: "
                 "Some(Position { byte: 4, line: 2, record: 1 }), expected_len: 2, len: 1 })"},
        // A reader error comes before the width test, even on the first record.
        LoadCase{"bad_utf8_single_field", "\xFF", {},
                 "called `Result::unwrap()` on an `Err` value: Error(Utf8 { pos: Some(Position { "
                 "byte: 0, line: 1, record: 0 }), err: Utf8Error { field: 0, valid_up_to: 0 } })"},
        LoadCase{"bad_utf8_in_ignored_column", "a,x,ok\nb,y,\xC3(", {},
                 "called `Result::unwrap()` on an `Err` value: Error(Utf8 { pos: Some(Position { "
                 "byte: 7, line: 2, record: 1 }), err: Utf8Error { field: 2, valid_up_to: 0 } })"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Storage: one copy per distinct string, views valid for as long as the table lives.

// Keys that come back after other keys are regrouped; repeated lines stay as repeats.
TEST(NumberedAssociations, ScatteredKeysAreGrouped) {
    StringArena arena;
    TermNumbering terms(&arena);
    const NumberedAssociations t = parse_numbered_associations(
        RecordReader(std::make_unique<MemorySource>("b,x\na,y\nb,y\nc,b\na,y\nb,z\n")), terms,
        terms);
    const std::vector<std::string> texts(terms.texts().begin(), terms.texts().end());
    EXPECT_EQ(texts, (std::vector<std::string>{"b", "x", "a", "y", "c", "z"}));
    auto values_of = [&](std::uint32_t key) {
        std::vector<std::string> out;
        for (std::uint32_t i = t.ranges[key].begin; i < t.ranges[key].end; ++i) {
            out.emplace_back(texts[t.values[i]]);
        }
        return out;
    };
    EXPECT_EQ(values_of(0), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(values_of(2), (std::vector<std::string>{"y", "y"}));
    EXPECT_EQ(values_of(4), (std::vector<std::string>{"b"}));
    for (std::uint32_t never_a_key : {1u, 3u, 5u}) EXPECT_TRUE(values_of(never_a_key).empty());
}

TEST(AssociationStorage, EqualStringsShareOneCopy) {
    AssociationTable t = parse_associations(
        RecordReader(std::make_unique<MemorySource>("A,A\nB,A\nA,B\nC,B\n")));
    const Term key_a = t.map.find("A")->first;
    const Term key_b = t.map.find("B")->first;
    EXPECT_EQ(t.map.find("A")->second.find("A")->data(), key_a.data());
    EXPECT_EQ(t.map.find("B")->second.find("A")->data(), key_a.data());
    EXPECT_EQ(t.map.find("C")->second.find("B")->data(), key_b.data());
}

TEST(AssociationStorage, MemoryFollowsDistinctStringsNotLines) {
    // 20000 lines over 100 distinct 500-byte strings: ~10 MB of text, ~50 KB of distinct bytes.
    std::string input;
    for (int i = 0; i < 20000; ++i) {
        input += std::string(500, static_cast<char>('a' + i % 10)) + std::to_string(i % 50) + ',' +
                 std::string(500, static_cast<char>('k' + i % 5)) + std::to_string(i % 50) + '\n';
    }
    const AssociationTable t = parse_associations(RecordReader(std::make_unique<MemorySource>(input)));
    EXPECT_LE(t.arena.bytes_reserved(), 2u * 64 * 1024);
    std::size_t pairs = 0;
    for (const auto& [k, s] : t.map) pairs += s.size();
    EXPECT_EQ(t.map.size(), 50u);
    EXPECT_EQ(pairs, 50u);
}

TEST(AssociationStorage, ViewsSurviveMovesAndTheReadersBuffers) {
    std::string input;
    for (int i = 0; i < 3000; ++i) input += "key" + std::to_string(i % 300) + ",value" + std::to_string(i) + "\n";
    AssociationTable first = parse_associations(RecordReader(std::make_unique<MemorySource>(input, 7)));
    input.assign(input.size(), '#');  // the source bytes are gone; the table must not need them
    AssociationTable moved = std::move(first);
    AssociationTable assigned;
    assigned = std::move(moved);
    ASSERT_EQ(assigned.map.size(), 300u);
    for (int k = 0; k < 300; ++k) {
        const auto it = assigned.map.find("key" + std::to_string(k));
        ASSERT_NE(it, assigned.map.end());
        EXPECT_EQ(it->second.size(), 10u);
        EXPECT_TRUE(it->second.contains("value" + std::to_string(k + 2700)));
    }
}

// ---------------------------------------------------------------------------------------------
// Files.

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ontarix_reader_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::size_t open_descriptors() {
        std::size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            (void)e;
            ++n;
        }
        return n;
    }

    std::string dir_;
};

std::string open_error(std::string_view path) {
    try {
        (void)read_file(path);
    } catch (const Fault& f) {
        return f.message();
    }
    return "(opened)";
}

TEST_F(Files, OpenFailures) {
    const std::string missing = dir_ + "/missing.csv";
    EXPECT_EQ(open_error(missing),
              "Failed to open file: " + missing + " No such file or directory (os error 2)");
    const std::string under_a_file = write("plain", "a,b") + "/child";
    EXPECT_EQ(open_error(under_a_file),
              "Failed to open file: " + under_a_file + " Not a directory (os error 20)");
    EXPECT_EQ(open_error(""), "Failed to open file:  No such file or directory (os error 2)");
    // The path is reproduced as given, non-ASCII and all.
    const std::string accented = dir_ + "/d\xC3\xA9j\xC3\xA0.csv";
    EXPECT_EQ(open_error(accented),
              "Failed to open file: " + accented + " No such file or directory (os error 2)");
}

TEST_F(Files, PathWithNulIsRefusedWhole) {
    // Truncated at the NUL, this path would name a file that exists.
    const std::string real = write("real.csv", "a,b\n");
    const std::string path = real + "\0.bak"s;
    EXPECT_EQ(open_error(path),
              "Failed to open file: " + path + " file name contained an unexpected NUL byte");
}

TEST_F(Files, DirectoryFailsOnRead) {
    RecordReader reader = read_file(dir_);  // opening a directory for reading succeeds on Linux
    EXPECT_EQ(load(std::move(reader)).error,
              "called `Result::unwrap()` on an `Err` value: Error(Io(Os { code: 21, kind: "
              "IsADirectory, message: \"Is a directory\" }))");
}

TEST_F(Files, FileReadsLikeMemory) {
    std::string input = "\xEF\xBB\xBF";
    for (int i = 0; i < 4000; ++i) {
        input += "\"t" + std::to_string(i % 131) + "\",\xCE\xB1" + std::to_string(i) + "\r\n";
    }
    const Loaded from_file = load(read_file(write("big.csv", input)));
    EXPECT_EQ(from_file.error, "");
    EXPECT_EQ(from_file.map.size(), 131u);
    EXPECT_EQ(from_file, load(input));
}

TEST_F(Files, ClosedAfterSuccessAndAfterEveryFailure) {
    const std::string good = write("good.csv", "a,x\nb,y\n");
    const std::string wide = write("wide.csv", "a,x\nb,y,z\n");
    const std::string narrow = write("narrow.csv", "a\nb\n");
    const std::string bad = write("bad.csv", "a,\xFF\n");
    const std::size_t before = open_descriptors();
    for (const std::string& path : {good, wide, narrow, bad, dir_}) {
        (void)load(read_file(path));
        EXPECT_EQ(open_descriptors(), before) << path;
    }
    // A reader that is never parsed closes its file too.
    { RecordReader unused = read_file(good); }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace ontarix
