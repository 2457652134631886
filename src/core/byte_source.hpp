// Byte sources: where a record reader gets its input from.
//
// The reader parses whatever a source hands it, in pieces of whatever size the source chooses, and
// keeps all of its parsing state between pieces. That is what lets the same reader run over an
// open file (FileSource) or over bytes already in memory (MemorySource), and lets tests and fuzzers
// cut one input into pieces of any size to show that piece boundaries never change the result.
//
// A source is read once, front to back; it is never rewound.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/blocking_wait.hpp"

namespace ontarix {

struct ReadResult {
    std::size_t bytes = 0;  // bytes stored; 0 with error == 0 means end of input
    int error = 0;          // errno of a failed read (bytes is then 0)
};

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Stores up to out.size() bytes (out is never empty) at out.data(). A failed read is reported
    // through ReadResult::error; a source that waits may throw what its waiter throws.
    virtual ReadResult read(std::span<char> out) = 0;
};

// An open file descriptor, read with read(2) and closed when the source dies. Reads of a pipe or a
// FIFO can block; they wait through the waiter.
class FileSource final : public ByteSource {
public:
    // Takes ownership of an open descriptor. The waiter must outlive the source.
    explicit FileSource(int fd, Waiter& waiter = plain_waiter()) noexcept
        : fd_(fd), waiter_(&waiter) {}
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // An interrupted read is the waiter's to retry or abandon; any other failure is reported.
    ReadResult read(std::span<char> out) override;

private:
    int fd_;
    Waiter* waiter_;
};

// Bytes in memory, handed out at most `chunk` bytes at a time. The bytes are viewed, not copied:
// they must outlive the source.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes, std::size_t chunk = SIZE_MAX) noexcept
        : rest_(bytes), chunk_(chunk == 0 ? 1 : chunk) {}

    ReadResult read(std::span<char> out) noexcept override;

private:
    std::string_view rest_;
    std::size_t chunk_;
};

}  // namespace ontarix
