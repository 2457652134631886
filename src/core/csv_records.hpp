// Records of comma-separated text, read one at a time from a ByteSource.
//
// Accepted format:
//   - an optional UTF-8 byte order mark (EF BB BF) as the very first bytes, skipped;
//   - records end at LF, CR or CR LF; a terminator at the start of the input or right after another
//     terminator yields no record (blank lines are skipped); the last record needs no terminator;
//   - fields are separated by commas; a comma at the end of a line yields a final empty field;
//   - a field whose first byte is a double quote is quoted: commas, CR and LF in it are data, two
//     double quotes stand for one, the next single double quote closes it, and whatever follows the
//     closing quote up to the next comma or terminator is appended as it is; a double quote
//     anywhere else is an ordinary byte; the input ending inside quotes ends the field and record;
//   - no header, no comments, no escape character, white space kept as data;
//   - every record has as many fields as the first one, and every field is well-formed UTF-8.
//
// Invariants:
//   - The parse is a byte-at-a-time state machine whose whole state lives in the reader, so the
//     records and errors produced do not depend on how the source splits its input into pieces
//     (a CR LF, a multi-byte character, a doubled quote or the byte order mark may straddle them).
//   - A shortcut takes the common record, one that holds no double quote and whose terminator is
//     already buffered, 16 bytes at a time (SSE2) straight from the start of the record to its
//     terminator, and hands out its fields as views of the read buffer without copying them; the
//     fields are exactly what the state machine would produce, and any other record (quoted, or
//     cut by the end of the buffer) is left to the state machine untouched.
//   - Memory is the fixed read buffer plus the largest record; the input is never held whole.
//   - A record's Position says where it starts: the byte offset of its first byte from the start
//     of the input (a byte order mark counts), the line of that byte (from 1; LF, CR and CR LF
//     each end one line, inside quotes too) and its index among the records (from 0).
//
// Failures are Faults whose message is the kErrValue prefix, ": ", and the error's rendering:
//   Error(UnequalLengths { pos: Some(Position { byte: B, line: L, record: R }), expected_len: E, len: N })
//   Error(Utf8 { pos: Some(Position { ... }), err: Utf8Error { field: F, valid_up_to: V } })
//   Error(Io(Os { code: C, kind: K, message: "M" }))
// A record with the wrong field count is reported as such even if it also holds bad UTF-8. After a
// failure the reader must not be used again.
//
// Cost: each input byte is scanned once (a record the shortcut gives up on, at most once per
// buffer or per quoted record, twice) and copied at most once (not at all when the shortcut takes
// it); only records holding bytes outside ASCII are read a second time, to validate them as UTF-8.
// No allocation per record once the record buffers have grown to the largest record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_source.hpp"

namespace ontarix {

struct Position {
    std::uint64_t byte = 0;
    std::uint64_t line = 1;
    std::uint64_t record = 0;

    friend bool operator==(const Position&, const Position&) = default;
};

// The fields of one record. A record that the block path took whole from the read buffer is not
// copied: its fields are views of the buffer, separated there by single commas. Any other record is
// stored in the record's own bytes, fields back to back. Either way, field views are valid only
// until the next read into the same Record and while the reader lives.
class Record {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view field(std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1] + gap_;
        return {base_ + begin, ends_[i] - begin};
    }

private:
    friend class RecordReader;

    void clear() noexcept {
        bytes_.clear();
        ends_.clear();
        bits_ = 0;
        base_ = nullptr;
        gap_ = 0;
    }
    void end_field() { ends_.push_back(bytes_.size()); }

    std::string bytes_;
    std::vector<std::size_t> ends_;  // end offsets of the fields from base_
    const char* base_ = nullptr;     // first byte of field 0: bytes_.data() or the read buffer
    std::size_t gap_ = 0;            // bytes between fields: 0 in bytes_, 1 (a comma) in the buffer
    unsigned char bits_ = 0;         // OR of the field bytes: bit 7 clear means pure ASCII
};

class RecordReader {
public:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    // Nothing is read from the source until the first record is asked for.
    explicit RecordReader(std::unique_ptr<ByteSource> source);
    RecordReader(RecordReader&&) noexcept = default;
    RecordReader& operator=(RecordReader&&) noexcept = default;

    // Reads the next record into `out`. Returns false, with `out` empty, once the input is used up.
    // Raises a Fault for a failed read, a field count unlike the first record's or a field that is
    // not UTF-8.
    bool read_record(Record& out);

    // Where the record most recently read (or failed) starts.
    const Position& position() const noexcept { return pos_; }

private:
    enum class State : std::uint8_t {
        Mark,           // at the start of the input, matching a byte order mark
        StartRecord,    // between records, skipping terminators
        StartField,     // at the first byte of a field
        InField,        // in an unquoted field, or after the closing quote of a quoted one
        InQuoted,       // inside quotes
        QuoteInQuoted,  // just after a quote inside quotes: a doubled quote or the closing one
    };

    bool refill();
    bool scan(Record& out);
    const char* scan_line(const char* p, const char* end, Record& out);
    bool finish(Record& out);
    void begin_record(std::uint64_t byte);
    void count_terminator(char c) noexcept;
    void check(const Record& rec);

    std::unique_ptr<ByteSource> source_;
    std::unique_ptr<char[]> buf_;
    std::size_t head_ = 0;         // next unread byte of buf_
    std::size_t tail_ = 0;         // end of the valid bytes of buf_
    std::uint64_t buf_start_ = 0;  // input offset of buf_[0]
    std::uint64_t line_ = 1;       // line of the next unread byte
    std::uint64_t records_ = 0;    // records completed so far
    std::size_t first_len_ = 0;    // field count of the first record; 0 until it is read
    Position pos_;
    State state_ = State::Mark;
    std::uint8_t mark_seen_ = 0;   // bytes of the byte order mark matched so far
    bool after_cr_ = false;        // the last byte consumed was a CR, so an LF now ends no new line
    bool done_ = false;            // the end of input has been reported
};

}  // namespace ontarix
