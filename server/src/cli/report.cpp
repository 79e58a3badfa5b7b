#include "report.hpp"

#include "similarity.hpp"

namespace quillfern::cli::detail {

CliError unknown_argument(std::string argument, std::optional<std::string> similar_option) {
    CliError error{"unexpected argument '" + argument + "' found", std::nullopt, true};
    if (similar_option) error.suggestion = Suggestion{"argument", "--" + *similar_option};
    return error;
}

CliError unexpected_flag_value(std::string value, std::string option) {
    return {"unexpected value '" + value + "' for '" + option + "' found; no more were expected", std::nullopt, true};
}

CliError used_multiple_times(std::string option) {
    return {"the argument '" + option + "' cannot be used multiple times", std::nullopt, true};
}

CliError invalid_choice(std::string value, std::string option, std::span<const std::string_view> possible_values) {
    CliError error;
    error.message = value.empty() ? "a value is required for '" + option + "' but none was supplied"
                                  : "invalid value '" + value + "' for '" + option + "'";
    if (!possible_values.empty()) {
        error.message += "\n  [possible values: ";
        for (std::size_t i = 0; i < possible_values.size(); ++i) {
            if (i > 0) error.message += ", ";
            error.message += possible_values[i];
        }
        error.message += "]";
    }
    if (auto similar = most_similar(value, possible_values)) {
        error.suggestion = Suggestion{"value", std::move(*similar)};
    }
    return error;
}

CliError invalid_value(std::string value, std::string option, std::string reason) {
    return {"invalid value '" + value + "' for '" + option + "': " + reason, std::nullopt, false};
}

CliError invalid_utf8() { return {"invalid UTF-8 was detected in one or more arguments", std::nullopt, true}; }

std::string render_report(const CliError& error, std::string_view program_name) {
    std::string out = "error: " + error.message;
    if (error.suggestion) {
        out += "\n\n  tip: a similar ";
        out += error.suggestion->kind;
        out += " exists: '" + error.suggestion->text + "'";
    }
    if (error.show_usage) {
        out += "\n\nUsage: ";
        out += program_name;
        out += " [OPTIONS]";
    }
    out += "\n\nFor more information, try '--help'.\n";
    return out;
}

}  // namespace quillfern::cli::detail
