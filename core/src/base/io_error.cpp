#include "quillfern/io_error.hpp"

#include <cerrno>
#include <string_view>

#include <fmt/format.h>

namespace quillfern {

IoError IoError::from_os(int code) {
    return IoError(IoErrorKind::Os, fmt::format("{} (os error {})", std::system_category().message(code), code), code);
}

IoError IoError::from_errno() { return from_os(errno); }

IoError IoError::from_error_code(const std::error_code& ec) {
    // asio reports errno values under a system category of its own ("asio.system").
    if (ec.category() == std::system_category() || ec.category() == std::generic_category() ||
        std::string_view(ec.category().name()) == "asio.system") {
        return from_os(ec.value());
    }
    return IoError(IoErrorKind::Other, ec.message(), 0);
}

}  // namespace quillfern
