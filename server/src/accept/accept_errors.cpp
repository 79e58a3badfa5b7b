// Failed accepts: which errors are which, and what a listener does after one.
#include "accept_errors.hpp"

#include <cerrno>

#include <fmt/format.h>
#include <asio/error.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/log.hpp"

namespace quillfern::server {

namespace {

// Errors that carry an errno value, in whichever category reports them.
bool is_errno_category(const std::error_code& error) noexcept {
    return error.category() == std::system_category() || error.category() == std::generic_category() ||
           error.category() == asio::error::get_system_category();
}

// An error of one connection or one call, not of the listener or the system.
bool is_one_call_error(const std::error_code& error) noexcept {
    if (!is_errno_category(error)) return false;
    const int value = error.value();
    return value == ECONNABORTED || value == EINTR || value == EAGAIN || value == EWOULDBLOCK;
}

}  // namespace

bool detail::is_descriptor_exhaustion(const std::error_code& error) noexcept {
    return is_errno_category(error) && (error.value() == EMFILE || error.value() == ENFILE);
}

bool is_transient_accept_error(const std::error_code& error) noexcept {
    if (!is_errno_category(error)) return false;
    switch (error.value()) {
        case ECONNABORTED:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case EPROTO:
        case EINTR:
        case EAGAIN:
        case ENETDOWN:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ETIMEDOUT:
        case EPERM: return true;
        default: return false;
    }
}

AcceptErrorPolicy retry_policy(AcceptRetry retry) {
    return [retry](const std::error_code& error, bool first) -> std::optional<std::chrono::milliseconds> {
        if (!retry.retry_lasting_errors && !is_transient_accept_error(error)) return std::nullopt;
        if (first) {
            // The target varies with the listener, so the event is filtered where it is raised.
            log::emit(log::Level::Warn, retry.log_target,
                      fmt::format(fmt::runtime(retry.warning), IoError::from_error_code(error).message()));
        }
        if (retry.at_once_for_one_call && is_one_call_error(error)) return std::chrono::milliseconds(0);
        return retry.pause;
    };
}

}  // namespace quillfern::server
