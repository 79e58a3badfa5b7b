// The RUST_LOG directive parser and the line format: a filter that was read lets nothing
// through below its most verbose level and names that level through one of its
// directives; a formatted event is exactly one line.
#include <algorithm>
#include <vector>

#include "fuzz_target.hpp"
#include "quillfern/log.hpp"

namespace quillfern::fuzz {

namespace {

void check_filter(std::string_view text) {
    auto filter = log::EnvFilter::parse(text);
    if (!filter) return;
    const auto& directives = filter->directives();
    int most_verbose = 5;
    std::vector<std::string> targets{"", "quillfern_server", "quillfern_server::server", "quillfern_core::gossip"};
    for (const auto& directive : directives) {
        require(directive.level >= 0 && directive.level <= 5, "a directive level out of range", text);
        most_verbose = std::min(most_verbose, directive.level);
        if (directive.target) {
            targets.push_back(*directive.target);
            targets.push_back(*directive.target + "::x");
        }
    }
    require(filter->max_level() == most_verbose, "max level differs from the most verbose directive", text);
    for (const std::string& target : targets) {
        for (int level = 0; level <= 4; ++level) {
            if (filter->enabled(static_cast<log::Level>(level), target)) {
                require(level >= filter->max_level(), "an event below the max level passes", text);
            }
        }
    }
}

}  // namespace

void log_filter(Bytes input) {
    const std::string_view text = as_text(input);
    check_filter(text);

    // The same bytes as a message and a quoted field of an event.
    std::string line;
    const std::string timestamp = log::format_timestamp(1'700'000'000, 123'456'000);
    const bool colour = (input.size() & 1) != 0;
    log::format_line(line, log::Level::Warn, "quillfern_server::server", text, {log::quoted("input", text)}, colour,
                     timestamp);
    require(line.ends_with('\n'), "a log line without its line feed", line);
    require(line.starts_with(colour ? "\x1b[2m" + timestamp : timestamp), "a log line without its timestamp", line);
}

}  // namespace quillfern::fuzz
