// Internal faults: the one exception type the core throws.
//
// A fault is an unrecoverable condition inside an operation (a lookup that must succeed, a broken
// input file). It carries a fixed message and the place in our source where it was raised. The
// binding layer catches it at the call boundary and turns it into the Python-visible
// PanicException; core code never sees Python.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace ontarix {

// What a fault is about, for hosts that report some failures in their own terms: a file that
// cannot be opened as the host's file-not-found or permission error, a malformed file as a
// value error naming the place. The message stays the fault's one rendering for everyone else.
struct FaultCause {
    enum class Kind : std::uint8_t {
        Internal,  // a broken invariant or a lookup that had to succeed
        Os,        // a system call failed: os_error holds its errno
        BadPath,   // a path that names no file (it holds a NUL byte)
        Content,   // a malformed input: line and byte say where the offending record starts
    };
    Kind kind = Kind::Internal;
    int os_error = 0;
    std::uint64_t line = 0;
    std::uint64_t byte = 0;
    std::string detail;  // Content: what is wrong, in a few words
};

class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current());
    Fault(std::string message, FaultCause cause,
          std::source_location where = std::source_location::current());

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    const FaultCause& cause() const noexcept { return cause_; }

private:
    std::string message_;
    std::source_location where_;
    FaultCause cause_;
};

// Throws a Fault located at the caller. Out of line so that error paths stay off hot loops.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());
[[noreturn]] void raise_fault(std::string message, FaultCause cause,
                              std::source_location where = std::source_location::current());

// The message of a lookup that had to succeed and did not.
inline constexpr std::string_view kMissingValue = "called `Option::unwrap()` on a `None` value";
// Prefix of a failure carried by an error value (a reader error follows ": ").
inline constexpr std::string_view kErrValue = "called `Result::unwrap()` on an `Err` value";

}  // namespace ontarix
