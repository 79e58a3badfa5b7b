// Kinds of failed accepts that the accept loop itself acts on.
#pragma once

#include <system_error>

namespace quillfern::server::detail {

// Out of descriptors, for the process or the system.
bool is_descriptor_exhaustion(const std::error_code& error) noexcept;

}  // namespace quillfern::server::detail
