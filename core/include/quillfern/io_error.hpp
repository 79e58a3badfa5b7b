// I/O errors as the rest of the mesh prints them: the system's description followed
// by " (os error N)", or a fixed text for errors raised by quillFern itself.
#pragma once

#include <string>
#include <system_error>

namespace quillfern {

enum class IoErrorKind {
    Os,            // an errno from the operating system
    InvalidInput,  // e.g. "path must be shorter than SUN_LEN"
    InvalidData,   // e.g. "stream did not contain valid UTF-8"
    Unsupported,   // e.g. mesh relay endpoints
    UnexpectedEof,
    WriteZero,  // "write zero"
    TimedOut,
    Other,
};

class IoError {
public:
    IoError() = default;
    IoError(IoErrorKind kind, std::string message, int os_code = 0)
        : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

    // "Connection refused (os error 111)".
    static IoError from_os(int code);
    // System-category codes become from_os; asio's own codes keep their message.
    static IoError from_error_code(const std::error_code& ec);
    static IoError from_errno();

    IoErrorKind kind() const noexcept { return kind_; }
    int os_code() const noexcept { return os_code_; }
    const std::string& message() const noexcept { return message_; }

private:
    IoErrorKind kind_ = IoErrorKind::Other;
    int os_code_ = 0;
    std::string message_;
};

}  // namespace quillfern
