// Descriptions of operating-system errors, as they appear in our fault messages.
//
// A system error is reported by its number, a kind (a CamelCase category name such as NotFound or
// IsADirectory, so that callers can tell classes of failure apart without knowing errno values)
// and the C library's description of the number.
#pragma once

#include <string>
#include <string_view>

namespace ontarix {

// The C library's description of `code` ("No such file or directory"); thread-safe.
std::string os_error_message(int code);

// The category of `code`; "Uncategorized" for numbers no category covers.
std::string_view os_error_kind(int code) noexcept;

// "{message} (os error {code})", the usual one-line form.
std::string os_error_text(int code);

}  // namespace ontarix
