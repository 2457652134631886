// Property checks shared by the libFuzzer targets and the corpus replay test.
//
// Each check takes one arbitrary input and returns an empty string when every property holds, or a
// description of the first one that does not. The fuzz targets abort on a non-empty result (so
// libFuzzer saves the input); the replay test, built with the ordinary compiler, runs the very same
// functions over every committed corpus and regression file, so a fault found once stays found.
//
// check_reader: the record reader gives the same records (every field, every position) or the
//   same error text (which embeds the error kind and position) whether the input arrives whole or
//   in pieces of 1, 2, 3 or 7 bytes, of one byte less than the read buffer or exactly its size,
//   or of a size taken from the input itself; and both agree with a deliberately naive parser of
//   the format written here from its description, one byte at a time over the whole buffer. The
//   association table built by parse_associations from the same input, whole and in pieces,
//   equals the map derived from those records, or fails with the error the records predict.
//
// check_utf8: utf8_valid_up_to agrees with a plain decode-one-character-and-check-its-range
//   reference at every alignment of the input against the validator's eight-byte steps.
//
// check_index_state: the stored-index loader either rejects the input with a Fault about its
//   content, or loads an index that is whole: saving it again gives the input's own bytes (the
//   format has one way to write each index; a version 1 state comes back as version 2), and its
//   lists and measures stay within its numbers.
//
// Cost: one pass over the input per piece size, plus the reference parse and two table builds;
// records are kept flat, so a run allocates a few growing buffers rather than one per field.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/association_reader.hpp"
#include "core/closure_index.hpp"
#include "core/index_state.hpp"
#include "core/byte_source.hpp"
#include "core/csv_records.hpp"
#include "core/fault.hpp"
#include "core/utf8.hpp"

namespace ontarix::fuzzing {

// ---------------------------------------------------------------------------------------------
// UTF-8

// The length of the well-formed character at s[i], or 0 when none starts there: decode the plain
// way, then reject overlong forms, surrogates and code points past U+10FFFF.
inline std::size_t reference_char_length(std::string_view s, std::size_t i) {
    static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    const std::size_t len = (b & 0xE0) == 0xC0   ? 2
                            : (b & 0xF0) == 0xE0 ? 3
                            : (b & 0xF8) == 0xF0 ? 4
                                                 : 0;
    if (len == 0 || s.size() - i < len) return 0;
    std::uint32_t cp = b & (0x7Fu >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

inline std::size_t reference_valid_up_to(std::string_view s) {
    std::size_t i = 0;
    for (std::size_t len; i < s.size(); i += len) {
        if ((len = reference_char_length(s, i)) == 0) return i;
    }
    return i;
}

inline std::string check_utf8(std::string_view input) {
    // Leading ASCII shifts the input against the validator's word steps; a short input also gets
    // to run through the word loop once it is long enough.
    std::string shifted;
    for (std::size_t shift = 0; shift < 8; ++shift) {
        shifted.assign(shift, 'a');
        shifted.append(input);
        const std::size_t want = reference_valid_up_to(shifted);
        const std::size_t got = utf8_valid_up_to(shifted);
        if (got != want) {
            return "utf8_valid_up_to with " + std::to_string(shift) + " leading ASCII bytes: got " +
                   std::to_string(got) + ", reference " + std::to_string(want);
        }
        if (is_utf8(shifted) != (want == shifted.size())) {
            return "is_utf8 disagrees with utf8_valid_up_to at shift " + std::to_string(shift);
        }
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Stored indexes

inline std::string check_index_state(std::string_view input) {
    std::unique_ptr<ClosureIndex> index;
    try {
        index = std::make_unique<ClosureIndex>(load_index_state(input));
    } catch (const Fault& fault) {
        if (fault.cause().kind != FaultCause::Kind::Content) {
            return "rejected by a fault that is not about the content: " + fault.message();
        }
        return {};
    } catch (const std::exception& e) {
        return std::string("rejected by an exception that is not a Fault: ") + e.what();
    }
    std::string expected(input);
    expected[7] = '\x02';
    if (save_index_state(*index) != expected) return "saving a loaded state changes its bytes";
    const std::uint32_t n = index->size();
    for (std::uint32_t t = 0; t < n; ++t) {
        if (!is_utf8(index->text(t))) return "a loaded text is not UTF-8";
        for (const std::uint32_t r : index->scored().of(t)) {
            if (r >= index->rank_count()) return "a scored list names an unknown rank";
        }
        const std::uint32_t rank = common_rank(*index, t, t);
        if (rank != ClosureIndex::kNoRank && rank >= index->rank_count()) {
            return "a common ancestor beyond the ranks";
        }
    }
    if (const WangTable* wang = index->structure().wang_table()) {
        const std::uint32_t m = std::min<std::uint32_t>(n, 64);
        for (std::uint32_t a = 0; a < m; ++a) {
            for (std::uint32_t b = 0; b < m; ++b) {
                const double s = wang_similarity(*wang, a, b);
                if (!(s >= 0.0 && s <= 1.0 + 1e-12)) return "a Wang similarity outside [0, 1]";
            }
        }
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Records

// Everything a reader produced from one input, stored flat (all fields back to back) so that a
// run costs a few amortised appends rather than an allocation per field.
struct ReaderRun {
    std::string bytes;                     // every field of every record, back to back
    std::vector<std::size_t> field_ends;   // end of each field in bytes
    std::vector<std::size_t> record_ends;  // end of each record in field_ends
    std::vector<Position> positions;       // start of each record
    std::string error;                     // the text of the error that stopped the reader

    friend bool operator==(const ReaderRun&, const ReaderRun&) = default;

    std::size_t records() const { return record_ends.size(); }
    std::size_t width(std::size_t r) const {
        return record_ends[r] - (r == 0 ? 0 : record_ends[r - 1]);
    }
    std::string_view field(std::size_t r, std::size_t f) const {
        const std::size_t i = (r == 0 ? 0 : record_ends[r - 1]) + f;
        const std::size_t begin = i == 0 ? 0 : field_ends[i - 1];
        return std::string_view(bytes).substr(begin, field_ends[i] - begin);
    }

    void end_field() { field_ends.push_back(bytes.size()); }
    void end_record(const Position& pos) {
        record_ends.push_back(field_ends.size());
        positions.push_back(pos);
    }
    // Drops the fields of a record that was not ended.
    void drop_open_record() {
        field_ends.resize(record_ends.empty() ? 0 : record_ends.back());
        bytes.resize(field_ends.empty() ? 0 : field_ends.back());
    }
};

inline std::string render_position(const Position& p) {
    return "Some(Position { byte: " + std::to_string(p.byte) + ", line: " + std::to_string(p.line) +
           ", record: " + std::to_string(p.record) + " })";
}

inline std::string escape(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

inline std::string describe(const ReaderRun& run) {
    std::string out;
    for (std::size_t r = 0; r < run.records(); ++r) {
        out += "\n    " + render_position(run.positions[r]) + ":";
        for (std::size_t f = 0; f < run.width(r); ++f) out += " [" + escape(run.field(r, f)) + "]";
    }
    if (!run.error.empty()) out += "\n    error: " + run.error;
    return out.empty() ? "\n    (nothing)" : out;
}

inline ReaderRun read_records(std::string_view input, std::size_t chunk) {
    ReaderRun run;
    RecordReader reader(std::make_unique<MemorySource>(input, chunk));
    Record rec;
    try {
        while (reader.read_record(rec)) {
            for (std::size_t i = 0; i < rec.size(); ++i) {
                run.bytes.append(rec.field(i));
                run.end_field();
            }
            run.end_record(reader.position());
        }
    } catch (const Fault& f) {
        run.error = f.message();
    }
    return run;
}

// The format read the slow, obvious way: the whole input in hand, one byte at a time, with
// lookahead instead of carried state. Lines end at LF, CR and CR LF, inside quotes too, so a
// record's line is one plus the terminators before its first byte, an LF right after a CR not
// counting again.
inline ReaderRun reference_records(std::string_view in) {
    static constexpr std::string_view kErr = "called `Result::unwrap()` on an `Err` value: Error(";
    ReaderRun run;
    const std::size_t n = in.size();
    std::size_t i = in.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    std::uint64_t line = 1;
    std::size_t first_len = 0;
    const auto terminator = [&](std::size_t k) {
        if (in[k] == '\r' || k == 0 || in[k - 1] != '\r') ++line;
    };
    const auto is_end = [](char c) { return c == '\r' || c == '\n'; };

    while (i < n) {
        if (is_end(in[i])) {
            terminator(i++);
            continue;
        }
        const Position pos{i, line, run.records()};
        std::size_t width = 0;
        for (;;) {
            if (i < n && in[i] == '"') {
                for (++i; i < n; ++i) {
                    if (in[i] == '"') {
                        if (i + 1 < n && in[i + 1] == '"') {
                            run.bytes += '"';
                            ++i;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (is_end(in[i])) terminator(i);
                    run.bytes += in[i];
                }
            }
            while (i < n && in[i] != ',' && !is_end(in[i])) run.bytes += in[i++];
            run.end_field();
            ++width;
            if (i == n) break;
            if (in[i] == ',') {
                ++i;
                continue;
            }
            terminator(i++);
            break;
        }
        if (first_len == 0) {
            first_len = width;
        } else if (width != first_len) {
            run.drop_open_record();
            run.error = std::string(kErr) + "UnequalLengths { pos: " + render_position(pos) +
                        ", expected_len: " + std::to_string(first_len) +
                        ", len: " + std::to_string(width) + " })";
            return run;
        }
        const std::size_t first_field = run.field_ends.size() - width;
        for (std::size_t f = 0; f < width; ++f) {
            const std::size_t k = first_field + f;
            const std::size_t begin = k == 0 ? 0 : run.field_ends[k - 1];
            const std::string_view field =
                std::string_view(run.bytes).substr(begin, run.field_ends[k] - begin);
            const std::size_t valid = reference_valid_up_to(field);
            if (valid != field.size()) {
                run.drop_open_record();
                run.error = std::string(kErr) + "Utf8 { pos: " + render_position(pos) +
                            ", err: Utf8Error { field: " + std::to_string(f) +
                            ", valid_up_to: " + std::to_string(valid) + " } })";
                return run;
            }
        }
        run.end_record(pos);
    }
    return run;
}

// Piece sizes for one input: the smallest ones (every boundary), small primes against the
// reader's own steps, the buffer size and one less, and one the input picks with its first byte.
inline std::vector<std::size_t> chunk_sizes(std::string_view input) {
    std::vector<std::size_t> sizes = {1, 2, 3, 7, RecordReader::kBufferSize - 1,
                                      RecordReader::kBufferSize};
    if (!input.empty()) sizes.push_back(static_cast<unsigned char>(input[0]) + 1);
    return sizes;
}

// ---------------------------------------------------------------------------------------------
// Association tables

// A table as its sorted, distinct (key, value) pairs, or the error that stopped it.
struct TableRun {
    std::vector<std::pair<std::string_view, std::string_view>> pairs;
    std::string error;

    friend bool operator==(const TableRun&, const TableRun&) = default;
};

inline std::string describe(const TableRun& run) {
    std::string out;
    for (const auto& [key, value] : run.pairs) {
        out += "\n    [" + escape(key) + "] -> [" + escape(value) + "]";
    }
    if (!run.error.empty()) out += "\n    error: " + run.error;
    return out.empty() ? "\n    (nothing)" : out;
}

// What parse_associations must make of these records: the distinct (key, value) pairs, or the
// first failure. A record narrower than two fields can only be the first (all records are as wide
// as the first), so the missing-value failure comes before any reader error of a later record.
// The pairs view the bytes of `records`.
inline TableRun expected_table(const ReaderRun& records) {
    TableRun want;
    if (records.records() > 0 && records.width(0) < 2) {
        want.error = std::string(kMissingValue);
        return want;
    }
    if (!records.error.empty()) {
        want.error = records.error;
        return want;
    }
    want.pairs.reserve(records.records());
    for (std::size_t r = 0; r < records.records(); ++r) {
        want.pairs.emplace_back(records.field(r, 0), records.field(r, 1));
    }
    std::sort(want.pairs.begin(), want.pairs.end());
    want.pairs.erase(std::unique(want.pairs.begin(), want.pairs.end()), want.pairs.end());
    return want;
}

// Builds the table from `input` and compares it with `want` while the table (which owns the
// bytes its pairs view) is still alive. Returns a description of the difference, or nothing.
inline std::string compare_table(std::string_view input, std::size_t chunk, const TableRun& want) {
    const auto verdict = [&](const TableRun& got) -> std::string {
        if (got == want) return {};
        return "parse_associations (pieces of " + std::to_string(chunk) +
               ") disagrees with the records\n  table:" + describe(got) +
               "\n  expected:" + describe(want);
    };
    TableRun got;
    try {
        const AssociationTable table =
            parse_associations(RecordReader(std::make_unique<MemorySource>(input, chunk)));
        for (const auto& [key, values] : table.map) {
            if (values.empty()) got.error = "a key without values";
            for (const auto& v : values) got.pairs.emplace_back(key, v);
        }
        std::sort(got.pairs.begin(), got.pairs.end());
        if (std::adjacent_find(got.pairs.begin(), got.pairs.end()) != got.pairs.end()) {
            got.error = "a (key, value) pair held twice";
        }
        return verdict(got);
    } catch (const Fault& f) {
        got.pairs.clear();
        got.error = f.message();
    }
    return verdict(got);
}

inline std::string check_reader(std::string_view input) {
    const ReaderRun whole = read_records(input, SIZE_MAX);
    const ReaderRun reference = reference_records(input);
    if (whole != reference) {
        return "reader disagrees with the reference parser\n  reader:" + describe(whole) +
               "\n  reference:" + describe(reference);
    }
    const std::vector<std::size_t> chunks = chunk_sizes(input);
    for (const std::size_t chunk : chunks) {
        if (chunk >= input.size()) continue;  // one piece: the same reads as the whole input
        const ReaderRun pieces = read_records(input, chunk);
        if (pieces != whole) {
            return "pieces of " + std::to_string(chunk) + " bytes change the result\n  whole:" +
                   describe(whole) + "\n  pieces:" + describe(pieces);
        }
    }
    const TableRun want = expected_table(whole);
    for (const std::size_t chunk : {SIZE_MAX, chunks.back()}) {
        std::string broken = compare_table(input, chunk, want);
        if (!broken.empty()) return broken;
    }
    return {};
}

}  // namespace ontarix::fuzzing
