// Command-line errors and their report on standard error.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillfern::cli::detail {

struct Suggestion {
    std::string_view kind;  // "argument" or "value"
    std::string text;
};

struct CliError {
    std::string message;                   // after "error: ", possible-values line included
    std::optional<Suggestion> suggestion;  // the "tip:" line
    bool show_usage = false;
};

CliError unknown_argument(std::string argument, std::optional<std::string> similar_option);
CliError unexpected_flag_value(std::string value, std::string option);
CliError used_multiple_times(std::string option);
CliError invalid_choice(std::string value, std::string option, std::span<const std::string_view> possible_values);
CliError invalid_value(std::string value, std::string option, std::string reason);
CliError invalid_utf8();

// The whole report: "error: ...", tip, usage and the closing hint, newline-terminated.
std::string render_report(const CliError& error, std::string_view program_name);

}  // namespace quillfern::cli::detail
