// Pieces the connection handlers share.
#pragma once

#include <exception>

namespace quillfern::server::detail {

inline constexpr const char* kServerTarget = "quillfern_server::server";

// Logs the exception that ended one connection (WARN "Connection aborted: ..."). Never throws.
void log_connection_failure(std::exception_ptr failure) noexcept;

}  // namespace quillfern::server::detail
