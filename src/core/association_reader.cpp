#include "core/association_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <fcntl.h>

#include "core/byte_source.hpp"
#include "core/fault.hpp"
#include "core/os_error.hpp"

namespace ontarix {
namespace {

constexpr std::string_view kOpenFailed = "Failed to open file: ";
constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

[[noreturn]] __attribute__((noinline)) void raise_open_failure(std::string_view path,
                                                                 std::string_view why,
                                                                 FaultCause cause) {
    std::string message;
    message.reserve(kOpenFailed.size() + path.size() + 1 + why.size());
    message.append(kOpenFailed).append(path).append(" ").append(why);
    raise_fault(std::move(message), std::move(cause));
}

// A record with one field, where a key and a value are needed.
[[noreturn]] __attribute__((noinline)) void raise_single_field(const Position& pos) {
    raise_fault(std::string(kMissingValue),
                FaultCause{FaultCause::Kind::Content, 0, pos.line, pos.byte,
                           "the line has 1 field, a key and a value are needed"});
}

// Every distinct string once in the arena. The pool's elements start out as views of the caller's
// bytes and are repointed at the arena copy right after insertion; the repointed view has the same
// contents, so its hash and its place in the table stay right.
class Interner {
public:
    explicit Interner(StringArena& arena) : arena_(arena) {}

    Term intern(Term s) {
        auto [it, inserted] = pool_.insert(s);
        if (inserted) const_cast<Term&>(*it) = arena_.store(s);
        return *it;
    }

private:
    StringArena& arena_;
    TermSet pool_;
};

}  // namespace

RecordReader read_file(std::string_view path, Waiter& waiter) {
    if (path.find('\0') != std::string_view::npos) {
        raise_open_failure(path, kNulInPath, FaultCause{FaultCause::Kind::BadPath, 0, 0, 0, {}});
    }
    const std::string c_path(path);
    // Opening a FIFO waits for its writer, so the open waits through the waiter as reads do.
    const SyscallResult opened =
        wait_for(waiter, [&] { return ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (opened.value < 0) {
        raise_open_failure(path, os_error_text(opened.error),
                           FaultCause{FaultCause::Kind::Os, opened.error, 0, 0, {}});
    }
    const int fd = static_cast<int>(opened.value);
    // If allocating the source fails, the unique_ptr has not taken the descriptor yet.
    std::unique_ptr<ByteSource> source;
    try {
        source = std::make_unique<FileSource>(fd, waiter);
    } catch (...) {
        FileSource closer(fd);
        throw;
    }
    return RecordReader(std::move(source));
}

AssociationTable parse_associations(RecordReader reader) {
    // A local owner, so the file is closed when this function ends rather than whenever the
    // caller's full expression does.
    RecordReader records = std::move(reader);
    AssociationTable table;
    Interner interner(table.arena);
    Record record;

    // Files are often sorted by key: a record whose key repeats the previous one reuses its set.
    // The pointer stays valid because the map only changes when a new key arrives, and then it is
    // refreshed.
    Term last_key;
    TermSet* last_set = nullptr;

    while (records.read_record(record)) {
        if (record.size() < 2) raise_single_field(records.position());
        const Term key = record.field(0);
        const Term value = record.field(1);

        if (last_set == nullptr || key != last_key) {
            auto it = table.map.find(key);
            if (it == table.map.end()) it = table.map.try_emplace(interner.intern(key)).first;
            last_key = it->first;
            last_set = &it->second;
        }
        // Inserted as a view of the record buffer, then repointed at the interned copy (same
        // contents, same hash): one probe of the set per record.
        auto [vit, inserted] = last_set->insert(value);
        if (inserted) const_cast<Term&>(*vit) = interner.intern(value);
    }
    return table;
}

NumberedAssociations parse_numbered_associations(RecordReader reader, TermNumbering& keys,
                                                 TermNumbering& values) {
    RecordReader records = std::move(reader);  // closed when this function ends
    NumberedAssociations out;
    Record record;

    // A run is a stretch of consecutive records with the same key. In a file grouped by key each
    // key has one run, and the runs are the final ranges.
    struct Run {
        TermNumbering::Id key;
        std::uint32_t begin;
    };
    std::vector<Run> runs;
    bool scattered = false;
    Term run_key;
    auto close_run = [&] {
        if (runs.empty()) return;
        const Run& run = runs.back();
        if (out.ranges.size() <= run.key) out.ranges.resize(std::size_t{run.key} + 1);
        NumberedAssociations::Range& range = out.ranges[run.key];
        if (range.end != range.begin) scattered = true;
        range = {run.begin, static_cast<std::uint32_t>(out.values.size())};
    };

    while (records.read_record(record)) {
        if (record.size() < 2) raise_single_field(records.position());
        const Term key = record.field(0);
        if (runs.empty() || !same_text(key, run_key)) {
            close_run();
            const TermNumbering::Id id = keys.number(key);
            run_key = keys.texts()[id];
            runs.push_back({id, static_cast<std::uint32_t>(out.values.size())});
        }
        if (out.values.size() == UINT32_MAX) [[unlikely]] {
            throw std::length_error("more lines than 32-bit offsets can address");
        }
        out.values.push_back(values.number(record.field(1)));
    }
    close_run();
    out.ranges.resize(keys.size());

    if (scattered) {
        // Group the runs of each key together: count, place, copy.
        auto run_end = [&](std::size_t i) {
            return i + 1 < runs.size() ? runs[i + 1].begin
                                       : static_cast<std::uint32_t>(out.values.size());
        };
        std::vector<std::uint32_t> start(keys.size() + 1, 0);
        for (std::size_t i = 0; i < runs.size(); ++i) {
            start[runs[i].key + 1] += run_end(i) - runs[i].begin;
        }
        for (std::size_t k = 0; k < keys.size(); ++k) start[k + 1] += start[k];
        std::vector<TermNumbering::Id> grouped(out.values.size());
        for (std::size_t k = 0; k < keys.size(); ++k) out.ranges[k] = {start[k], start[k]};
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const std::uint32_t end = run_end(i);
            NumberedAssociations::Range& range = out.ranges[runs[i].key];
            std::copy(out.values.begin() + runs[i].begin, out.values.begin() + end,
                      grouped.begin() + range.end);
            range.end += end - runs[i].begin;
        }
        out.values = std::move(grouped);
    }
    return out;
}

}  // namespace ontarix
