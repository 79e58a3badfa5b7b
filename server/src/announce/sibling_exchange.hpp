// The one exchange the registration task makes with each sibling: connect to its Unix
// socket, write one plain request line, read one reply line. Each caller logs the step
// that ended it with its own words.
#pragma once

#include <string>

#include <asio/awaitable.hpp>

#include "quillfern/sibling_client.hpp"

namespace quillfern::announce::detail {

// The log lines of one sibling's exchange; "{}" takes the error or reply text.
struct ExchangeEvents {
    const char* not_reachable;  // INFO
    const char* send_failed;    // WARN
    const char* no_response;    // WARN
    const char* replied;        // INFO
};

// The exchange, its outcome logged with `events`.
asio::awaitable<void> exchange_and_log(std::string socket_path, std::string request_line, sibling_client::Limits limits,
                                       ExchangeEvents events);

}  // namespace quillfern::announce::detail
