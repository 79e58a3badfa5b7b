// The one exchange the registration task makes with each sibling: connect to its Unix
// socket, write one plain request line, read one reply line. The outcome names the step
// that ended it, so that each caller logs it with its own words.
#pragma once

#include <string>
#include <variant>

#include <asio/awaitable.hpp>

#include "quillfern/sibling_client.hpp"

namespace quillfern::announce::detail {

struct NotReachable {
    std::string error;
};
struct SendFailed {
    std::string error;
};
struct NoResponse {};
struct Replied {
    std::string line;  // as read, its newline included when one came
};
using ExchangeOutcome = std::variant<NotReachable, SendFailed, NoResponse, Replied>;

asio::awaitable<ExchangeOutcome> exchange_line(std::string socket_path, std::string request_line,
                                               sibling_client::Limits limits);

// The log lines of one sibling's exchange; "{}" takes the error or reply text.
struct ExchangeEvents {
    const char* not_reachable;  // INFO
    const char* send_failed;    // WARN
    const char* no_response;    // WARN
    const char* replied;        // INFO
};

void log_outcome(const ExchangeOutcome& outcome, const ExchangeEvents& events);

}  // namespace quillfern::announce::detail
