// Association files: comma-separated key,value lines read into a TermSetMap.
//
// Each record contributes its second field to the set of its first field; further fields must be
// present in every record (the reader checks that all records are as wide as the first) and valid
// UTF-8, and are otherwise ignored. Lines with the same key merge; a repeated line counts once.
// The accepted text format and the reader's errors are those of csv_records.hpp.
//
// Storage: the map holds views into the table's own arena, in which every distinct string of the
// file (key or value) is stored exactly once, so memory grows with the number of distinct strings,
// not with the number of lines. The file is streamed through the reader's fixed buffer, never held
// whole. Moving a table keeps its views valid.
//
// Cost per record: the key is looked up once (not at all when it repeats the previous record's
// key, as in files sorted by key) and the value is inserted into its key's set once. Only a new
// key or a value new to its key's set also probes the interning table, and only a string new to
// the file is copied into the arena.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/blocking_wait.hpp"
#include "core/csv_records.hpp"
#include "core/string_arena.hpp"
#include "core/term_numbering.hpp"
#include "core/terms.hpp"

namespace ontarix {

struct AssociationTable {
    StringArena arena;  // declared first, so it outlives the views in map
    TermSetMap map;
};

// Opens `path` (relative paths resolve against the working directory) for reading and returns a
// reader over it; nothing is read yet. Raises the Fault "Failed to open file: {path} {description}
// (os error {n})" when the file cannot be opened. A path holding a NUL byte names no file; it fails
// as "Failed to open file: {path} file name contained an unexpected NUL byte", with the path
// reproduced whole. Opening and reading wait through `waiter` (a FIFO waits for its writer), which
// must outlive the reader; what the waiter throws passes through unchanged.
RecordReader read_file(std::string_view path, Waiter& waiter = plain_waiter());

// Reads `reader` to its end and returns the table. The reader's errors propagate as they are; a
// first record with a single field raises the missing-value Fault before anything of it is stored.
// The reader (and with it the file) is released before this returns or fails; no partial table
// escapes.
AssociationTable parse_associations(RecordReader reader);

// An association file with its strings replaced by numbers: key k's values are
// values[ranges[k].begin .. ranges[k].end), in file order, repeats kept (a repeated line appears
// twice). Keys are numbered by one numbering and values by another (or the same); ranges has one
// entry per key number, and an entry whose range is empty belongs to a number that was never a
// key (every key has at least one value).
struct NumberedAssociations {
    struct Range {
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
    };
    std::vector<Range> ranges;
    std::vector<TermNumbering::Id> values;
};

// Reads `reader` to its end like parse_associations, with the same failures in the same order,
// numbering keys through `keys` and values through `values` (which may be the same object).
// Cost per record: no key lookup when the key repeats the previous record's, one probe of the
// value numbering, one 4-byte append. Only a file whose keys come back after other keys pays one
// extra pass to group the values by key.
NumberedAssociations parse_numbered_associations(RecordReader reader, TermNumbering& keys,
                                                 TermNumbering& values);

}  // namespace ontarix
