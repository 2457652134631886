#include "core/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace ontarix {

std::string os_error_message(int code) {
    char buf[256];
    // glibc's strerror_r may return a static string instead of filling buf; use what it returns.
    const char* text = ::strerror_r(code, buf, sizeof buf);
    return std::string(text != nullptr ? text : "Unknown error");
}

std::string_view os_error_kind(int code) noexcept {
    switch (code) {
        case E2BIG: return "ArgumentListTooLong";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case EAGAIN: return "WouldBlock";  // EWOULDBLOCK is the same number on Linux
        case EBUSY: return "ResourceBusy";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case EDEADLK: return "Deadlock";
        case EDQUOT: return "FilesystemQuotaExceeded";
        case EEXIST: return "AlreadyExists";
        case EFBIG: return "FileTooLarge";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINPROGRESS: return "InProgress";
        case EINTR: return "Interrupted";
        case EINVAL: return "InvalidInput";
        case EISDIR: return "IsADirectory";
        case ELOOP: return "FilesystemLoop";
        case EMLINK: return "TooManyLinks";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ENOENT: return "NotFound";
        case ENOMEM: return "OutOfMemory";
        case ENOSPC: return "StorageFull";
        case ENOSYS: return "Unsupported";
        case ENOTCONN: return "NotConnected";
        case ENOTDIR: return "NotADirectory";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EPIPE: return "BrokenPipe";
        case EROFS: return "ReadOnlyFilesystem";
        case ESPIPE: return "NotSeekable";
        case ESTALE: return "StaleNetworkFileHandle";
        case ETIMEDOUT: return "TimedOut";
        case ETXTBSY: return "ExecutableFileBusy";
        case EXDEV: return "CrossesDevices";
        default: return "Uncategorized";
    }
}

std::string os_error_text(int code) {
    std::string text = os_error_message(code);
    text += " (os error ";
    text += std::to_string(code);
    text += ')';
    return text;
}

}  // namespace ontarix
