#include "quillfern/io_error.hpp"

#include <cerrno>

#include <fmt/format.h>

namespace quillfern {

IoError IoError::from_os(int code) {
    return IoError(IoErrorKind::Os, fmt::format("{} (os error {})", std::system_category().message(code), code),
                   code);
}

IoError IoError::from_errno() { return from_os(errno); }

IoError IoError::from_error_code(const std::error_code& ec) {
    if (ec.category() == std::system_category() || ec.category() == std::generic_category()) {
        return from_os(ec.value());
    }
    return IoError(IoErrorKind::Other, ec.message(), 0);
}

}  // namespace quillfern
