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

namespace ontarix {

struct ReadResult {
    std::size_t bytes = 0;  // bytes stored; 0 with error == 0 means end of input
    int error = 0;          // errno of a failed read (bytes is then 0)
};

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Stores up to out.size() bytes (out is never empty) at out.data(). Never throws; a failure is
    // reported through ReadResult::error.
    virtual ReadResult read(std::span<char> out) noexcept = 0;
};

// An open file descriptor, read with read(2) and closed when the source dies.
class FileSource final : public ByteSource {
public:
    // Takes ownership of an open descriptor.
    explicit FileSource(int fd) noexcept : fd_(fd) {}
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // Interrupted reads are retried; any other failure is reported.
    ReadResult read(std::span<char> out) noexcept override;

private:
    int fd_;
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
