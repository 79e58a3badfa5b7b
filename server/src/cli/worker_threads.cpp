// The runtime's worker count, with the fatal messages of a bad TOKIO_WORKER_THREADS.
#include <limits>

#include "quillfern/cli.hpp"
#include "quillfern/text.hpp"
#include "rust_text.hpp"

namespace quillfern::cli {

Expected<std::size_t, std::string> worker_threads(const EnvLookup& env, std::size_t online_processors) {
    static constexpr const char* kName = "TOKIO_WORKER_THREADS";
    const std::string quoted_name = std::string("\"") + kName + "\"";
    const std::optional<std::string> raw = env(kName);
    if (!raw) return online_processors > 0 ? online_processors : std::size_t{1};
    if (!text::is_valid_utf8(*raw)) {
        return unexpected(quoted_name +
                          " must be valid unicode, error: " + text::debug_quoted(*raw, text::InvalidBytes::HexEscape));
    }
    auto parsed = text::parse_u64(*raw);
    std::string parse_error;
    if (!parsed) {
        parse_error = parsed.error();
    } else if (*parsed > std::numeric_limits<std::size_t>::max()) {
        parse_error = "number too large to fit in target type";
    }
    if (!parse_error.empty()) {
        return unexpected(quoted_name + " must be usize, error: " + parse_error + ", value: " + *raw);
    }
    if (*parsed == 0) return unexpected(quoted_name + " cannot be set to 0");
    return static_cast<std::size_t>(*parsed);
}

}  // namespace quillfern::cli
