#include "core/csv_records.hpp"

#include <array>
#include <cstring>
#include <string>

#include "core/fault.hpp"
#include "core/os_error.hpp"
#include "core/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ontarix {
namespace {

constexpr unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};

// Bytes that end a run of field text: unquoted text stops at a comma or a terminator (a quote in
// it is an ordinary byte); quoted text stops at a quote, and at a terminator only so that lines
// are counted.
struct StopTables {
    std::array<bool, 256> unquoted{};
    std::array<bool, 256> quoted{};
};

constexpr StopTables make_stop_tables() {
    StopTables t;
    t.unquoted[','] = t.unquoted['\r'] = t.unquoted['\n'] = true;
    t.quoted['"'] = t.quoted['\r'] = t.quoted['\n'] = true;
    return t;
}

constexpr StopTables kStops = make_stop_tables();

// Finds the end of a run of field text and notes whether any byte of it is outside ASCII, so that
// records of pure ASCII skip UTF-8 validation without a second pass over their bytes.
inline const char* skip_run(const char* p, const char* end, const std::array<bool, 256>& stop,
                            unsigned char& bits) {
    unsigned char seen = 0;
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (stop[c]) break;
        seen |= c;
    }
    bits |= seen;
    return p;
}

// The common record (no double quote in it, its terminator already in the buffer) is found a
// block of bytes at a time; any other record goes through the state machine.
#if defined(__SSE2__)
// Bit i of the result is set where p[i] is one of the bytes the block compares against.
struct BlockMasks {
    unsigned stop;   // CR, LF or a double quote
    unsigned comma;
    unsigned high;   // bytes outside ASCII
};

inline BlockMasks block_masks(const char* p) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i cr = _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'));
    const __m128i lf = _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'));
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i comma = _mm_cmpeq_epi8(v, _mm_set1_epi8(','));
    return {static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(cr, lf), quote))),
            static_cast<unsigned>(_mm_movemask_epi8(comma)),
            static_cast<unsigned>(_mm_movemask_epi8(v))};
}
constexpr std::size_t kBlock = 16;
#else
// Portable stand-in: one byte per "block".
struct BlockMasks {
    unsigned stop, comma, high;
};
inline BlockMasks block_masks(const char* p) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    return {c == '\r' || c == '\n' || c == '"' ? 1u : 0u, c == ',' ? 1u : 0u, c >> 7};
}
constexpr std::size_t kBlock = 1;
#endif

std::string render_position(const Position& pos) {
    return "Some(Position { byte: " + std::to_string(pos.byte) + ", line: " +
           std::to_string(pos.line) + ", record: " + std::to_string(pos.record) + " })";
}

std::string error_prefix() { return std::string(kErrValue) + ": "; }

[[noreturn]] __attribute__((noinline)) void raise_unequal_lengths(const Position& pos,
                                                                    std::size_t expected,
                                                                    std::size_t len) {
    FaultCause cause{FaultCause::Kind::Content, 0, pos.line, pos.byte,
                     "the line has " + std::to_string(len) + (len == 1 ? " field" : " fields") +
                         ", the first line " + std::to_string(expected)};
    raise_fault(error_prefix() + "Error(UnequalLengths { pos: " + render_position(pos) +
                    ", expected_len: " + std::to_string(expected) + ", len: " +
                    std::to_string(len) + " })",
                std::move(cause));
}

[[noreturn]] __attribute__((noinline)) void raise_utf8(const Position& pos, std::size_t field,
                                                         std::size_t valid_up_to) {
    FaultCause cause{FaultCause::Kind::Content, 0, pos.line, pos.byte,
                     "field " + std::to_string(field + 1) + " is not valid UTF-8 after byte " +
                         std::to_string(valid_up_to)};
    raise_fault(error_prefix() + "Error(Utf8 { pos: " + render_position(pos) +
                    ", err: Utf8Error { field: " + std::to_string(field) +
                    ", valid_up_to: " + std::to_string(valid_up_to) + " } })",
                std::move(cause));
}

// Quoted the way a debug rendering quotes text, so a description can never end the string early.
std::string quoted_text(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

[[noreturn]] __attribute__((noinline)) void raise_io(int code) {
    raise_fault(error_prefix() + "Error(Io(Os { code: " + std::to_string(code) +
                    ", kind: " + std::string(os_error_kind(code)) +
                    ", message: " + quoted_text(os_error_message(code)) + " }))",
                FaultCause{FaultCause::Kind::Os, code, 0, 0, {}});
}

}  // namespace

// The buffer has kBlock bytes of slack after kBufferSize, so a block that starts before the end
// of the valid bytes can be loaded whole; the bytes past the end are masked off. Zeroed once, so
// nothing uninitialised is ever looked at.
RecordReader::RecordReader(std::unique_ptr<ByteSource> source)
    : source_(std::move(source)), buf_(std::make_unique<char[]>(kBufferSize + kBlock)) {}

// Takes the record starting at p (not a terminator, not a quote) if it is the common case: its
// fields become views of the buffer, and the terminator that ends it is returned. Otherwise
// returns null with `out` untouched.
const char* RecordReader::scan_line(const char* p, const char* end, Record& out) {
    unsigned char high = 0;
    for (const char* block = p; block < end; block += kBlock) {
        BlockMasks m = block_masks(block);
        const std::size_t valid = static_cast<std::size_t>(end - block);
        if (valid < kBlock) {
            const unsigned keep = (1u << valid) - 1;
            m.stop &= keep;
            m.comma &= keep;
            m.high &= keep;
        }
        unsigned below = ~0u;  // the bytes of the block that belong to the record
        if (m.stop != 0) below = (1u << __builtin_ctz(m.stop)) - 1;
        if (m.high & below) high = 0x80;
        const std::size_t offset = static_cast<std::size_t>(block - p);
        for (unsigned commas = m.comma & below; commas != 0; commas &= commas - 1) {
            out.ends_.push_back(offset + static_cast<std::size_t>(__builtin_ctz(commas)));
        }
        if (m.stop != 0) {
            const char* stop = block + __builtin_ctz(m.stop);
            if (*stop == '"') break;
            out.ends_.push_back(static_cast<std::size_t>(stop - p));
            out.base_ = p;
            out.gap_ = 1;
            out.bits_ |= high;
            return stop;
        }
    }
    out.ends_.clear();
    return nullptr;
}

bool RecordReader::read_record(Record& out) {
    out.clear();
    if (done_) return false;
    for (;;) {
        if (head_ == tail_ && !refill()) {
            done_ = true;
            if (!finish(out)) return false;
            out.base_ = out.bytes_.data();
            check(out);
            return true;
        }
        if (scan(out)) {
            if (out.base_ == nullptr) out.base_ = out.bytes_.data();
            check(out);
            return true;
        }
    }
}

bool RecordReader::refill() {
    const ReadResult got = source_->read({buf_.get(), kBufferSize});
    if (got.error != 0) raise_io(got.error);
    if (got.bytes == 0) return false;
    buf_start_ += tail_;
    head_ = 0;
    tail_ = got.bytes;
    return true;
}

void RecordReader::begin_record(std::uint64_t byte) {
    pos_ = Position{byte, line_, records_};
}

void RecordReader::count_terminator(char c) noexcept {
    // CR LF is one line end; a CR or LF on its own is one too.
    if (c == '\r' || !after_cr_) ++line_;
    after_cr_ = c == '\r';
}

// Consumes buffered bytes until a record ends (true) or the buffer is used up (false).
bool RecordReader::scan(Record& out) {
    const char* const base = buf_.get();
    const char* p = base + head_;
    const char* const end = base + tail_;
    while (p < end) {
        switch (state_) {
            case State::Mark: {
                const auto c = static_cast<unsigned char>(*p);
                if (c == kMark[mark_seen_]) {
                    ++p;
                    if (++mark_seen_ == 3) state_ = State::StartRecord;
                    continue;
                }
                if (mark_seen_ == 0) {
                    state_ = State::StartRecord;
                    continue;
                }
                // Only part of a mark: the bytes held back are the first field's first bytes,
                // and the field is not quoted, because it does not begin with a quote.
                begin_record(0);
                out.bytes_.append(reinterpret_cast<const char*>(kMark), mark_seen_);
                out.bits_ |= 0x80;
                state_ = State::InField;
                continue;
            }
            case State::StartRecord:
                if (*p == '\r' || *p == '\n') {
                    count_terminator(*p);
                    ++p;
                    continue;
                }
                begin_record(buf_start_ + static_cast<std::uint64_t>(p - base));
                if (*p != '"') {
                    if (const char* stop = scan_line(p, end, out)) {
                        after_cr_ = false;
                        count_terminator(*stop);
                        head_ = static_cast<std::size_t>(stop + 1 - base);
                        return true;
                    }
                }
                state_ = State::StartField;
                continue;
            case State::StartField:
                if (*p == '"') {
                    ++p;
                    after_cr_ = false;
                    state_ = State::InQuoted;
                    continue;
                }
                state_ = State::InField;
                continue;
            case State::InField: {
                const char* run_end = skip_run(p, end, kStops.unquoted, out.bits_);
                if (run_end != p) {
                    out.bytes_.append(p, static_cast<std::size_t>(run_end - p));
                    after_cr_ = false;
                    p = run_end;
                    if (p == end) break;
                }
                const char c = *p++;
                out.end_field();
                if (c == ',') {
                    after_cr_ = false;
                    state_ = State::StartField;
                    continue;
                }
                count_terminator(c);
                state_ = State::StartRecord;
                head_ = static_cast<std::size_t>(p - base);
                return true;
            }
            case State::InQuoted: {
                const char* run_end = skip_run(p, end, kStops.quoted, out.bits_);
                if (run_end != p) {
                    out.bytes_.append(p, static_cast<std::size_t>(run_end - p));
                    after_cr_ = false;
                    p = run_end;
                    if (p == end) break;
                }
                const char c = *p++;
                if (c == '"') {
                    after_cr_ = false;
                    state_ = State::QuoteInQuoted;
                    continue;
                }
                count_terminator(c);
                out.bytes_.push_back(c);
                continue;
            }
            case State::QuoteInQuoted:
                if (*p == '"') {
                    ++p;
                    out.bytes_.push_back('"');
                    state_ = State::InQuoted;
                    continue;
                }
                // The quote closed the field; what follows it is plain text of the same field.
                state_ = State::InField;
                continue;
        }
    }
    head_ = tail_;
    return false;
}

// Closes the record left open by the end of the input, if there is one.
bool RecordReader::finish(Record& out) {
    switch (state_) {
        case State::Mark:
            if (mark_seen_ == 0) return false;
            begin_record(0);
            out.bytes_.append(reinterpret_cast<const char*>(kMark), mark_seen_);
            out.bits_ |= 0x80;
            break;
        case State::StartRecord:
            return false;
        case State::StartField:
        case State::InField:
        case State::InQuoted:
        case State::QuoteInQuoted:
            break;
    }
    out.end_field();
    state_ = State::StartRecord;
    return true;
}

void RecordReader::check(const Record& rec) {
    ++records_;
    if (first_len_ == 0) {
        first_len_ = rec.size();
    } else if (rec.size() != first_len_) {
        raise_unequal_lengths(pos_, first_len_, rec.size());
    }
    if ((rec.bits_ & 0x80) == 0) return;  // pure ASCII is valid UTF-8
    // Each field on its own: a character split by a comma is two bad fields, not one good one.
    for (std::size_t i = 0; i < rec.size(); ++i) {
        const std::string_view field = rec.field(i);
        const std::size_t valid = utf8_valid_up_to(field);
        if (valid != field.size()) raise_utf8(pos_, i, valid);
    }
}

}  // namespace ontarix
