// Internal faults: the one exception type the core throws.
//
// A fault is an unrecoverable condition inside an operation (a lookup that must succeed, a broken
// input file). It carries a fixed message and the place in our source where it was raised. The
// binding layer catches it at the call boundary and turns it into the Python-visible
// PanicException; core code never sees Python.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace ontarix {

class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current());

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Throws a Fault located at the caller. Out of line so that error paths stay off hot loops.
[[noreturn]] void raise_fault(std::string message,
                              std::source_location where = std::source_location::current());

// The message of a lookup that had to succeed and did not.
inline constexpr std::string_view kMissingValue = "called `Option::unwrap()` on a `None` value";
// Prefix of a failure carried by an error value (a reader error follows ": ").
inline constexpr std::string_view kErrValue = "called `Result::unwrap()` on an `Err` value";

}  // namespace ontarix
