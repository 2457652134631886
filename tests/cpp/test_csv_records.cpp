#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/csv_records.hpp"
#include "core/fault.hpp"
#include "xorshift.hpp"

namespace ontarix {
namespace {

using namespace std::string_literals;
using Fields = std::vector<std::string>;

// Everything a reader produced from one input: its records with their positions, and the text of
// the error that stopped it, if any.
struct Parsed {
    std::vector<Fields> records;
    std::vector<Position> positions;
    std::string error;

    friend bool operator==(const Parsed&, const Parsed&) = default;
};

void PrintTo(const Parsed& p, std::ostream* os) {
    for (std::size_t i = 0; i < p.records.size(); ++i) {
        *os << "\n  @" << p.positions[i].byte << '/' << p.positions[i].line << '/'
            << p.positions[i].record << ':';
        for (const auto& f : p.records[i]) *os << " [" << ::testing::PrintToString(f) << ']';
    }
    if (!p.error.empty()) *os << "\n  error: " << p.error;
}

// Table rows print as their names.
template <class Row>
    requires requires(const Row& r) { r.name; }
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

Parsed drain(RecordReader reader) {
    Parsed out;
    Record rec;
    try {
        while (reader.read_record(rec)) {
            Fields fields;
            for (std::size_t i = 0; i < rec.size(); ++i) fields.emplace_back(rec.field(i));
            out.records.push_back(std::move(fields));
            out.positions.push_back(reader.position());
        }
    } catch (const Fault& f) {
        out.error = f.message();
    }
    return out;
}

Parsed parse(std::string_view input, std::size_t chunk = SIZE_MAX) {
    return drain(RecordReader(std::make_unique<MemorySource>(input, chunk)));
}

// Piece boundaries must never matter: every chunk size from 1 to 64, and sizes around the buffer.
void expect_same_in_every_chunking(std::string_view input, const Parsed& whole) {
    for (std::size_t chunk = 1; chunk <= 64; ++chunk) {
        ASSERT_EQ(parse(input, chunk), whole) << "chunk size " << chunk;
    }
    for (std::size_t chunk : {RecordReader::kBufferSize - 1, RecordReader::kBufferSize}) {
        ASSERT_EQ(parse(input, chunk), whole) << "chunk size " << chunk;
    }
}

std::string unequal(std::uint64_t byte, std::uint64_t line, std::uint64_t record,
                    std::size_t expected, std::size_t len) {
    return "called `Result::unwrap()` on an `Err` value: Error(UnequalLengths { pos: Some(Position "
           "{ byte: " + std::to_string(byte) + ", line: " + std::to_string(line) + ", record: " +
           std::to_string(record) + " }), expected_len: " + std::to_string(expected) +
           ", len: " + std::to_string(len) + " })";
}

std::string bad_utf8(std::uint64_t byte, std::uint64_t line, std::uint64_t record,
                     std::size_t field, std::size_t valid_up_to) {
    return "called `Result::unwrap()` on an `Err` value: Error(Utf8 { pos: Some(Position { byte: " +
           std::to_string(byte) + ", line: " + std::to_string(line) + ", record: " +
           std::to_string(record) + " }), err: Utf8Error { field: " + std::to_string(field) +
           ", valid_up_to: " + std::to_string(valid_up_to) + " } })";
}

// ---------------------------------------------------------------------------------------------
// The format, row by row: the records each input yields (or the error that stops it).

struct FormatCase {
    const char* name;
    std::string input;
    std::vector<Fields> records;
    std::string error = {};
};

class Format : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Format, RecordsAndErrorInEveryChunking) {
    const auto& c = GetParam();
    const Parsed whole = parse(c.input);
    EXPECT_EQ(whole.records, c.records);
    EXPECT_EQ(whole.error, c.error);
    expect_same_in_every_chunking(c.input, whole);
}

const std::string kMark = "\xEF\xBB\xBF";

INSTANTIATE_TEST_SUITE_P(
    Rows, Format,
    ::testing::Values(
        // Terminators and blank lines.
        FormatCase{"empty_input", "", {}},
        FormatCase{"blank_lines_only", "\n\r\n\r\r\n\n", {}},
        FormatCase{"one_record_no_terminator", "a,b", {{"a", "b"}}},
        FormatCase{"lf", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}},
        FormatCase{"crlf", "a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}},
        FormatCase{"bare_cr", "a,b\rc,d\r", {{"a", "b"}, {"c", "d"}}},
        FormatCase{"lf_cr_is_two_terminators", "a,b\n\rc,d", {{"a", "b"}, {"c", "d"}}},
        FormatCase{"blank_lines_between", "\n\na,b\n\n\r\n\rc,d\n\n", {{"a", "b"}, {"c", "d"}}},
        FormatCase{"spaces_line_is_a_record", "   ", {{"   "}}},
        // Byte order mark.
        FormatCase{"mark_skipped", kMark + "a,b\n", {{"a", "b"}}},
        FormatCase{"mark_only", kMark, {}},
        FormatCase{"mark_then_blank_lines", kMark + "\r\n\na,b", {{"a", "b"}}},
        FormatCase{"mark_then_quoted_field", kMark + "\"a,1\",b", {{"a,1", "b"}}},
        FormatCase{"second_mark_is_data", kMark + kMark + "a,b", {{kMark + "a", "b"}}},
        FormatCase{"mark_later_is_data", "a,b\n" + kMark + "c,d", {{"a", "b"}, {kMark + "c", "d"}}},
        FormatCase{"partial_mark_then_quote_is_data",
                   "\xEF\xBB\"q\",b", {}, bad_utf8(0, 1, 0, 0, 0)},
        FormatCase{"partial_mark_at_end", "\xEF\xBB", {}, bad_utf8(0, 1, 0, 0, 0)},
        FormatCase{"partial_mark_then_comma", "\xEF,b", {}, bad_utf8(0, 1, 0, 0, 0)},
        // Delimiters.
        FormatCase{"trailing_comma_gives_empty_field", "a,\nb,", {{"a", ""}, {"b", ""}}},
        FormatCase{"leading_comma_gives_empty_field", ",x", {{"", "x"}}},
        FormatCase{"only_a_comma", ",", {{"", ""}}},
        FormatCase{"tab_is_not_a_delimiter", "a\tb\nc\td", {{"a\tb"}, {"c\td"}}},
        FormatCase{"semicolon_is_not_a_delimiter", "a;b", {{"a;b"}}},
        // Quoting.
        FormatCase{"comma_in_quotes", "a,\"x,y\"", {{"a", "x,y"}}},
        FormatCase{"doubled_quote", "\"a\"\"b\",c", {{"a\"b", "c"}}},
        FormatCase{"only_a_doubled_quote", "a,\"\"\"\"", {{"a", "\""}}},
        FormatCase{"empty_quoted_field", "\"\",x", {{"", "x"}}},
        FormatCase{"text_after_closing_quote", "a,\"x\"y", {{"a", "xy"}}},
        FormatCase{"quote_after_closing_quote_is_literal", "a,\"x\"y\"z", {{"a", "xy\"z"}}},
        FormatCase{"closing_quote_then_comma", "\"x\",y\n", {{"x", "y"}}},
        FormatCase{"quote_inside_unquoted", "a\"b,c\"", {{"a\"b", "c\""}}},
        FormatCase{"space_before_quote_makes_it_literal", "a, \"x\"", {{"a", " \"x\""}}},
        FormatCase{"terminators_in_quotes", "\"a\r\nb\rc\nd\",e\nf,g",
                   {{"a\r\nb\rc\nd", "e"}, {"f", "g"}}},
        FormatCase{"eof_in_quotes", "a,\"xy", {{"a", "xy"}}},
        FormatCase{"eof_in_quotes_swallows_lines", "a,\"x\ny,z\n", {{"a", "x\ny,z\n"}}},
        FormatCase{"eof_right_after_opening_quote", "a,\"", {{"a", ""}}},
        FormatCase{"eof_right_after_closing_quote", "a,\"x\"", {{"a", "x"}}},
        FormatCase{"backslash_is_no_escape", "a\\,b", {{"a\\", "b"}}},
        // No comments, white space kept.
        FormatCase{"hash_line_is_data", "#c,x", {{"#c", "x"}}},
        FormatCase{"white_space_kept", " a , b\t\n", {{" a ", " b\t"}}},
        // Field counts.
        FormatCase{"wider_record", "a,b\nc,d,e", {{"a", "b"}}, unequal(4, 2, 1, 2, 3)},
        FormatCase{"narrower_record", "a,b,c\nd,e\n", {{"a", "b", "c"}}, unequal(6, 2, 1, 3, 2)},
        FormatCase{"spaces_line_among_pairs", "a,x\n  \nb,y", {{"a", "x"}}, unequal(4, 2, 1, 2, 1)},
        FormatCase{"one_field_records_agree", "a\nb\n", {{"a"}, {"b"}}},
        FormatCase{"third_record_wrong", "a,b\nc,d\ne\n", {{"a", "b"}, {"c", "d"}},
                   unequal(8, 3, 2, 2, 1)},
        // UTF-8 in every field.
        FormatCase{"utf8_accepted", "caf\xC3\xA9,\xE2\x82\xAC\n", {{"caf\xC3\xA9", "\xE2\x82\xAC"}}},
        FormatCase{"bad_utf8_in_key", "\xFF,x", {}, bad_utf8(0, 1, 0, 0, 0)},
        FormatCase{"bad_utf8_in_value", "x,y\nab,c\xC3\xA9\xC3", {{"x", "y"}},
                   bad_utf8(4, 2, 1, 1, 3)},
        FormatCase{"bad_utf8_in_third_field", "a,b,\xED\xA0\x80", {}, bad_utf8(0, 1, 0, 2, 0)},
        FormatCase{"bad_utf8_in_quoted_field", "a,\"x,\xC0\xAF\"", {}, bad_utf8(0, 1, 0, 1, 2)},
        FormatCase{"character_split_by_comma", "\xE2\x82,\xAC", {}, bad_utf8(0, 1, 0, 0, 0)},
        FormatCase{"width_checked_before_utf8", "a,b\n\xFF", {{"a", "b"}}, unequal(4, 2, 1, 2, 1)}),
    [](const auto& info) { return std::string(info.param.name); });

// The exact texts, spelled out once in full.
TEST(FormatErrors, ExactTexts) {
    EXPECT_EQ(parse("set1,A\nset2,B,C\n").error,
              "called `Result::unwrap()` on an `Err` value: Error(UnequalLengths { pos: "
              "Some(Position { byte: 7, line: 2, record: 1 }), expected_len: 2, len: 3 })");
    EXPECT_EQ(parse("k,v\nk,\xE2\x82\xAC\xE2\x82").error,
              "called `Result::unwrap()` on an `Err` value: Error(Utf8 { pos: Some(Position { "
              "byte: 4, line: 2, record: 1 }), err: Utf8Error { field: 1, valid_up_to: 3 } })");
}

// ---------------------------------------------------------------------------------------------
// Positions: where each record starts, with blank lines, CR LF, quotes spanning lines and a mark.

struct PositionCase {
    const char* name;
    std::string input;
    std::vector<Position> positions;
};

class Positions : public ::testing::TestWithParam<PositionCase> {};

TEST_P(Positions, RecordStarts) {
    const auto& c = GetParam();
    const Parsed whole = parse(c.input);
    ASSERT_EQ(whole.error, "");
    EXPECT_EQ(whole.positions, c.positions);
    expect_same_in_every_chunking(c.input, whole);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Positions,
    ::testing::Values(
        PositionCase{"lf", "a,b\nc,d\ne,f", {{0, 1, 0}, {4, 2, 1}, {8, 3, 2}}},
        PositionCase{"crlf", "a,b\r\nc,d\r\ne,f", {{0, 1, 0}, {5, 2, 1}, {10, 3, 2}}},
        PositionCase{"bare_cr", "a,b\rc,d", {{0, 1, 0}, {4, 2, 1}}},
        PositionCase{"blank_lines_skipped", "\n\r\na,b\n\n\rc,d",
                     {{3, 3, 0}, {9, 6, 1}}},
        PositionCase{"mark_counts_as_bytes", kMark + "a,b\r\n\r\n\rc,d", {{3, 1, 0}, {11, 4, 1}}},
        PositionCase{"quoted_lines", "\"a\nb\r\nc\rd\",x\ny,z", {{0, 1, 0}, {13, 5, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Positions, ErrorNamesTheStartOfTheBadRecord) {
    // The bad record starts after a blank CR LF line and spans two lines itself.
    const Parsed p = parse("a,b\r\n\r\n\"c\nd\"\r\n");
    EXPECT_EQ(p.error, unequal(7, 3, 1, 2, 1));
}

// ---------------------------------------------------------------------------------------------
// Inputs larger than the buffer, with the awkward bytes placed where a read ends.

std::string pad_to(std::size_t offset, std::string tail) {
    // A first record "p,<filler>" whose terminator ends just before `offset`.
    std::string s = "p," + std::string(offset - 3, 'f') + "\n";
    return s + tail;
}

struct BoundaryCase {
    const char* name;
    std::string input;
    std::vector<Fields> tail_records;  // records after the filler record
    std::string error = {};
};

class Boundaries : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(Boundaries, StraddlingTheBufferEnd) {
    const auto& c = GetParam();
    const Parsed whole = parse(c.input);
    ASSERT_FALSE(whole.records.empty());
    EXPECT_EQ(std::vector<Fields>(whole.records.begin() + 1, whole.records.end()), c.tail_records);
    EXPECT_EQ(whole.error, c.error);
    expect_same_in_every_chunking(c.input, whole);
}

constexpr std::size_t kB = RecordReader::kBufferSize;

INSTANTIATE_TEST_SUITE_P(
    Rows, Boundaries,
    ::testing::Values(
        // A two-, three- and four-byte character with bytes on both sides of the buffer's end
        // (the tail starts at the offset given to pad_to).
        BoundaryCase{"two_byte_char", pad_to(kB - 5, "k,ab\xC3\xA9z"), {{"k", "ab\xC3\xA9z"}}},
        BoundaryCase{"three_byte_char", pad_to(kB - 5, "k,ab\xE2\x82\xACz"),
                     {{"k", "ab\xE2\x82\xACz"}}},
        BoundaryCase{"four_byte_char", pad_to(kB - 6, "k,ab\xF0\x9F\x98\x80z"),
                     {{"k", "ab\xF0\x9F\x98\x80z"}}},
        BoundaryCase{"bad_char_across", pad_to(kB - 5, "k,ab\xC3("), {},
                     bad_utf8(kB - 5, 2, 1, 1, 2)},
        // CR | LF at the boundary is one terminator: no extra line, no blank record.
        BoundaryCase{"crlf_across", pad_to(kB - 4, "k,v\r\nx,y\nz"), {{"k", "v"}, {"x", "y"}},
                     unequal(kB + 5, 4, 3, 2, 1)},
        // Quote pair and closing quote at the boundary.
        BoundaryCase{"doubled_quote_across", pad_to(kB - 5, "k,\"a\"\"b\""), {{"k", "a\"b"}}},
        BoundaryCase{"closing_quote_across", pad_to(kB - 6, "k,\"ab\"c,d"), {},
                     unequal(kB - 6, 2, 1, 2, 3)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LargeInputs, FiftyKilobyteQuotedField) {
    std::string body;
    for (int i = 0; body.size() < 50 * 1024; ++i) {
        body += "line " + std::to_string(i) + ", with \"\"quotes\"\"\r\n";
    }
    const std::string input = "k,\"" + body + "\"\nnext,rec\n";
    std::string expected = body;
    for (std::size_t at = 0; (at = expected.find("\"\"", at)) != std::string::npos; ++at) {
        expected.erase(at, 1);
    }
    const Parsed whole = parse(input);
    ASSERT_EQ(whole.error, "");
    ASSERT_EQ(whole.records.size(), 2u);
    EXPECT_EQ(whole.records[0][1], expected);
    const std::uint64_t lines_in_body = std::count(body.begin(), body.end(), '\n');
    EXPECT_EQ(whole.positions[1], (Position{input.size() - 9, 2 + lines_in_body, 1}));
    expect_same_in_every_chunking(input, whole);
}

// ---------------------------------------------------------------------------------------------
// Failed reads.

// Hands out its bytes, then fails with `code` instead of reporting the end.
class FailingSource final : public ByteSource {
public:
    FailingSource(std::string bytes, int code) : bytes_(std::move(bytes)), code_(code) {}
    ReadResult read(std::span<char> out) noexcept override {
        if (bytes_.empty()) return {0, code_};
        const std::size_t n = std::min(out.size(), bytes_.size());
        std::copy_n(bytes_.data(), n, out.data());
        bytes_.erase(0, n);
        return {n, 0};
    }

private:
    std::string bytes_;
    int code_;
};

struct IoCase {
    int code;
    const char* rendering;
};

class ReadFailures : public ::testing::TestWithParam<IoCase> {};

TEST_P(ReadFailures, RecordsBeforeTheFailureThenTheIoError) {
    const auto& c = GetParam();
    const Parsed p = drain(RecordReader(std::make_unique<FailingSource>("a,b\nc,d", c.code)));
    // The second record is still open when the read fails, so it is not produced.
    EXPECT_EQ(p.records, (std::vector<Fields>{{"a", "b"}}));
    EXPECT_EQ(p.error, std::string("called `Result::unwrap()` on an `Err` value: ") + c.rendering);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReadFailures,
    ::testing::Values(
        IoCase{EISDIR, "Error(Io(Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }))"},
        IoCase{EIO, "Error(Io(Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }))"},
        IoCase{EACCES,
               "Error(Io(Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }))"}));

TEST(ReaderLifecycle, EndIsSticky) {
    RecordReader reader(std::make_unique<MemorySource>("a,b"));
    Record rec;
    ASSERT_TRUE(reader.read_record(rec));
    EXPECT_FALSE(reader.read_record(rec));
    EXPECT_EQ(rec.size(), 0u);
    EXPECT_FALSE(reader.read_record(rec));
}

// ---------------------------------------------------------------------------------------------
// Records without quotes are taken a 16-byte block at a time. With one byte per read a record's
// terminator is never buffered together with its start, so chunk size 1 is the byte-at-a-time
// machine alone, while the whole input takes the block path wherever it can: every chunking
// must agree, around every block edge.

// Line i puts the comma at offset i (0..40) of a 41-byte line ending in `term`.
std::string comma_at_every_offset(std::string_view term) {
    std::string out;
    for (std::size_t i = 0; i <= 40; ++i) {
        out += std::string(i, 'a') + "," + std::string(40 - i, 'b');
        out += term;
    }
    return out;
}

// Line k puts `what` after k bytes of its first field, then a second field.
std::string inserted_at_every_offset(std::string_view what, std::size_t count = 36) {
    std::string out;
    for (std::size_t k = 0; k < count; ++k) out += std::string(k, 'x') + std::string(what) + ",z\n";
    return out;
}

struct BlockCase {
    const char* name;
    std::string input;
};

class BlockPath : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockPath, AgreesWithTheByteMachine) {
    const std::string& input = GetParam().input;
    expect_same_in_every_chunking(input, parse(input));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BlockPath,
    ::testing::Values(BlockCase{"comma_lf", comma_at_every_offset("\n")},
                      BlockCase{"comma_crlf", comma_at_every_offset("\r\n")},
                      BlockCase{"comma_cr", comma_at_every_offset("\r")},
                      // A quote inside an unquoted field is data; one after a comma opens quotes.
                      BlockCase{"inner_quote", inserted_at_every_offset("q\"q")},
                      BlockCase{"quoted_second_field", inserted_at_every_offset(",\"p,\"\"q\"")},
                      BlockCase{"two_byte_char", inserted_at_every_offset("\xC3\xA9")},
                      BlockCase{"bad_byte", inserted_at_every_offset("\xFF")},
                      BlockCase{"cut_char", "k,ok\n" + inserted_at_every_offset("\xE2\x82", 20)},
                      BlockCase{"wider_record_late", std::string(30 * 9, ' ') + "\n" +
                                                         inserted_at_every_offset("", 20)},
                      BlockCase{"blank_lines_between", "\n\r\n" + comma_at_every_offset("\n\n\r")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlockPath, RecordsAtEveryBlockEdgeAreSplitRight) {
    const Parsed got = parse(comma_at_every_offset("\r\n"));
    ASSERT_EQ(got.records.size(), 41u);
    for (std::size_t i = 0; i <= 40; ++i) {
        EXPECT_EQ(got.records[i], (Fields{std::string(i, 'a'), std::string(40 - i, 'b')})) << i;
        EXPECT_EQ(got.positions[i], (Position{i * 43, i + 1, i})) << i;
    }
}

// Inputs drawn from the bytes that matter to the parse, as a differential check of the two paths.
TEST(BlockPath, RandomInputsAgreeWithTheByteMachine) {
    static constexpr char kAlphabet[] = {'a', 'b', ',', ',', '"', '\r', '\n', '\n', '\xC3', '\xA9', 'x'};
    testing::XorShift64 next{0x9E3779B97F4A7C15u};
    for (int round = 0; round < 300; ++round) {
        std::string input;
        const std::size_t length = next() % 120;
        for (std::size_t i = 0; i < length; ++i) input += kAlphabet[next() % sizeof kAlphabet];
        const Parsed whole = parse(input);
        ASSERT_EQ(parse(input, 1), whole) << ::testing::PrintToString(input);
        for (std::size_t chunk : {2u, 7u, 16u, 17u, 33u}) {
            ASSERT_EQ(parse(input, chunk), whole) << ::testing::PrintToString(input) << " chunk " << chunk;
        }
    }
}

}  // namespace
}  // namespace ontarix
