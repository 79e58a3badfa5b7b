// Pieces the connection handlers share.
#pragma once

#include <exception>
#include <string_view>

#include "quillfern/runtime.hpp"

namespace quillfern::server {

// Big request lines are read, and their memory given back, by the runtime's pool.
using runtime::offload_line_work;
using runtime::trim_memory_soon;

}  // namespace quillfern::server

namespace quillfern::server::detail {

// Logs the exception that ended one connection (WARN "Connection aborted: ..."). Never throws.
void log_connection_failure(std::exception_ptr failure) noexcept;

}  // namespace quillfern::server::detail
