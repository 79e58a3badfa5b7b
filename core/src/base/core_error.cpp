#include "quillfern/core_error.hpp"

#include <string_view>

namespace quillfern::core {

CoreError CoreError::io(IoError error) {
    CoreError result;
    result.kind_ = Kind::Io;
    result.io_ = std::move(error);
    return result;
}

CoreError CoreError::dependency(std::string dependency, std::string detail) {
    CoreError result{Kind::Dependency, std::move(dependency)};
    result.detail_ = std::move(detail);
    return result;
}

const std::string& CoreError::text() const noexcept { return io_ ? io_->message() : text_; }

std::string CoreError::to_string() const {
    std::string_view prefix;
    switch (kind_) {
        case Kind::Configuration: prefix = "configuration error: "; break;
        case Kind::Lifecycle: prefix = "lifecycle error: "; break;
        case Kind::Health: prefix = "health error: "; break;
        case Kind::Io: prefix = "I/O error: "; break;
        case Kind::Serialization: prefix = "serialization error: "; break;
        case Kind::Network: prefix = "network error: "; break;
        case Kind::Timeout: prefix = "operation timed out: "; break;
        case Kind::NotFound: prefix = "not found: "; break;
        case Kind::InvalidInput: prefix = "invalid input: "; break;
        case Kind::Internal: prefix = "internal error: "; break;
        case Kind::Dependency: prefix = "dependency error: "; break;
    }
    std::string out{prefix};
    out += text();
    if (kind_ == Kind::Dependency) {
        out += ": ";
        out += detail_;
    }
    return out;
}

}  // namespace quillfern::core
