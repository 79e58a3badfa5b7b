// The argument parser. It follows the parser whose texts it reproduces step by
// step, because which error wins depends on that order:
// - arguments are read left to right; a value-taking option without "=value"
//   waits for the next argument, and that pending value is checked only when the
//   next option is met or the arguments end (an unknown argument reported first
//   discards it);
// - after the command line, each option still absent takes its environment
//   variable, then its default, in the order of the option table.
#include <array>
#include <limits>
#include <variant>
#include <vector>

#include "command.hpp"
#include "quillfern/cli.hpp"
#include "quillfern/text.hpp"
#include "report.hpp"
#include "rust_text.hpp"
#include "similarity.hpp"

namespace quillfern::cli {
namespace {

using detail::CliError;
using detail::kOptionCount;
using detail::kOptions;
using detail::OptionDef;
using detail::ValueKind;

constexpr std::array<std::string_view, 2> kBooleanValues{"true", "false"};
constexpr std::uint64_t kMinInterval = 1;
constexpr std::int64_t kMaxPort = 65535;

struct HelpRequested {};
using Stop = std::variant<CliError, HelpRequested>;
using Step = Expected<void, Stop>;

Step stop(CliError error) { return unexpected(Stop{std::move(error)}); }

// The long names that an unknown option is compared with, the help switch last.
std::array<std::string_view, kOptionCount + 1> long_names() {
    std::array<std::string_view, kOptionCount + 1> names{};
    for (std::size_t i = 0; i < kOptionCount; ++i) names[i] = kOptions[i].long_name;
    names[kOptionCount] = detail::kHelpLong;
    return names;
}

std::optional<std::size_t> find_option(std::string_view long_name) {
    for (std::size_t i = 0; i < kOptionCount; ++i) {
        if (kOptions[i].long_name == long_name) return i;
    }
    return std::nullopt;
}

CliError unknown_long_option(std::string_view name_utf8) {
    const auto names = long_names();
    return detail::unknown_argument("--" + std::string(name_utf8), detail::most_similar(name_utf8, names));
}

// The file name of a path as the usage line shows it: "." parts and trailing slashes
// do not count; a path ending in ".." or without a name, or a name that is not
// UTF-8, leaves the command's own name.
std::string program_name(std::span<const std::string> args) {
    if (args.empty()) return std::string(detail::kCommandName);
    std::string_view path = args.front();
    std::string_view last;
    std::size_t begin = 0;
    while (begin <= path.size()) {
        std::size_t slash = path.find('/', begin);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view part = path.substr(begin, slash - begin);
        if (!part.empty() && part != ".") last = part;
        begin = slash + 1;
    }
    if (last.empty() || last == ".." || !text::is_valid_utf8(last)) {
        return std::string(detail::kCommandName);
    }
    return std::string(last);
}

class ArgumentParser {
public:
    explicit ArgumentParser(const detail::EnvValues& env) : env_(env) {}

    Step run(std::span<const std::string> arguments) {
        for (const std::string& argument : arguments) {
            if (!after_double_dash_) {
                if (argument == "--") {
                    after_double_dash_ = true;
                    continue;
                }
                if (argument.starts_with("--")) {
                    if (Step step = on_long(std::string_view(argument).substr(2)); !step) return step;
                    continue;
                }
                if (argument.size() > 1 && argument.front() == '-') {
                    return on_short(std::string_view(argument).substr(1));
                }
                if (awaiting_value_) {
                    pending_->values.push_back(argument);
                    awaiting_value_ = false;
                    continue;
                }
            }
            discard_pending();
            return stop(detail::unknown_argument(detail::to_string_lossy(argument), std::nullopt));
        }
        if (Step step = resolve_pending(); !step) return step;
        for (std::size_t i = 0; i < kOptionCount; ++i) {
            if (present_[i] || !env_[i]) continue;
            if (Step step = react(i, {*env_[i]}, Source::Environment); !step) return step;
        }
        for (std::size_t i = 0; i < kOptionCount; ++i) {
            if (present_[i] || kOptions[i].default_value.empty()) continue;
            if (Step step = store(i, std::string(kOptions[i].default_value)); !step) return step;
        }
        return {};
    }

    const Cli& cli() const noexcept { return cli_; }

private:
    enum class Source { CommandLine, Environment };

    struct Pending {
        std::size_t option;
        std::vector<std::string> values;  // empty until the next argument supplies one
    };

    Step on_long(std::string_view body) {
        const std::size_t equals = body.find('=');
        const std::string_view name = body.substr(0, equals);
        std::optional<std::string> attached;
        if (equals != std::string_view::npos) attached = std::string(body.substr(equals + 1));

        if (!text::is_valid_utf8(name)) {
            discard_pending();
            return stop(unknown_long_option(detail::to_string_lossy(name)));
        }
        if (name == detail::kHelpLong) {
            if (attached) {
                discard_pending();
                return stop(detail::unexpected_flag_value(detail::to_string_lossy(*attached),
                                                          "--" + std::string(detail::kHelpLong)));
            }
            return request_help();
        }
        const std::optional<std::size_t> index = find_option(name);
        if (!index) {
            discard_pending();
            return stop(unknown_long_option(name));
        }
        const OptionDef& option = kOptions[*index];
        if (!option.takes_value()) {
            if (attached) {
                discard_pending();
                return stop(
                    detail::unexpected_flag_value(detail::to_string_lossy(*attached), detail::option_display(option)));
            }
            awaiting_value_ = false;
            return react(*index, {}, Source::CommandLine);
        }
        if (attached) {
            awaiting_value_ = false;
            return react(*index, {std::move(*attached)}, Source::CommandLine);
        }
        if (Step step = resolve_pending(); !step) return step;
        pending_ = Pending{*index, {}};
        awaiting_value_ = true;
        return {};
    }

    // Only -h exists; a cluster is read up to its first letter, which decides.
    Step on_short(std::string_view flags) {
        const std::size_t length = text::utf8_sequence_length(flags, 0);
        if (length == 0) {
            discard_pending();
            return stop(detail::unknown_argument("-" + detail::to_string_lossy(flags), std::nullopt));
        }
        const std::string_view first = flags.substr(0, length);
        if (first.size() == 1 && first.front() == detail::kHelpShort) return request_help();
        discard_pending();
        return stop(detail::unknown_argument("-" + std::string(first), std::nullopt));
    }

    Step request_help() {
        if (Step step = resolve_pending(); !step) return step;
        return unexpected(Stop{HelpRequested{}});
    }

    Step resolve_pending() {
        if (!pending_) return {};
        Pending pending = std::move(*pending_);
        pending_.reset();
        awaiting_value_ = false;
        return react(pending.option, std::move(pending.values), Source::CommandLine);
    }

    // An error is about to be reported that takes precedence over the pending value's.
    void discard_pending() {
        pending_.reset();
        awaiting_value_ = false;
    }

    Step react(std::size_t index, std::vector<std::string> values, Source source) {
        if (Step step = resolve_pending(); !step) return step;
        const OptionDef& option = kOptions[index];
        if (source == Source::CommandLine && option.takes_value() && values.empty()) {
            return stop(detail::invalid_choice("", detail::option_display(option), {}));
        }
        if (present_[index]) return stop(detail::used_multiple_times(detail::option_display(option)));
        present_[index] = true;
        if (values.empty()) values.emplace_back("true");  // a flag's presence
        return store(index, values.front());
    }

    Step store(std::size_t index, const std::string& raw) {
        const OptionDef& option = kOptions[index];
        if (option.kind == ValueKind::Flag) {
            if (raw != "true" && raw != "false") {
                return stop(detail::invalid_choice(detail::to_string_lossy(raw), detail::option_display(option),
                                                   kBooleanValues));
            }
            flag_field(index) = raw == "true";
            return {};
        }
        if (!text::is_valid_utf8(raw)) return stop(detail::invalid_utf8());
        switch (option.kind) {
            case ValueKind::Text: text_field(index) = raw; return {};
            case ValueKind::Interval: {
                auto parsed = text::parse_u64(raw);
                if (!parsed) return stop(value_error(option, raw, parsed.error()));
                if (*parsed < kMinInterval) {
                    return stop(value_error(option, raw,
                                            std::to_string(*parsed) + " is not in " + std::to_string(kMinInterval) +
                                                "..=" + std::to_string(std::numeric_limits<std::uint64_t>::max())));
                }
                (index == detail::kEvictInterval ? cli_.evict_interval : cli_.spread_interval) = *parsed;
                return {};
            }
            case ValueKind::Port: {
                auto parsed = text::parse_i64(raw);
                if (!parsed) return stop(value_error(option, raw, parsed.error()));
                if (*parsed < 0 || *parsed > kMaxPort) {
                    return stop(value_error(option, raw,
                                            std::to_string(*parsed) + " is not in 0..=" + std::to_string(kMaxPort)));
                }
                cli_.gossip_port = static_cast<std::uint16_t>(*parsed);
                return {};
            }
            case ValueKind::Flag: break;
        }
        return {};
    }

    static CliError value_error(const OptionDef& option, const std::string& raw, std::string reason) {
        return detail::invalid_value(raw, detail::option_display(option), std::move(reason));
    }

    std::optional<std::string>& text_field(std::size_t index) {
        if (index == detail::kFamilyId) return cli_.family_id;
        if (index == detail::kGateId) return cli_.gate_id;
        return cli_.transport_endpoint;
    }

    bool& flag_field(std::size_t index) {
        return index == detail::kDisableTarpc ? cli_.disable_tarpc : cli_.legacy_dual_socket;
    }

    const detail::EnvValues& env_;
    Cli cli_;
    std::array<bool, kOptionCount> present_{};
    std::optional<Pending> pending_;
    bool awaiting_value_ = false;
    bool after_double_dash_ = false;
};

detail::EnvValues read_env(const EnvLookup& env) {
    detail::EnvValues values;
    for (std::size_t i = 0; i < kOptionCount; ++i) {
        const std::string name(kOptions[i].env_name);
        values[i] = env(name.c_str());
    }
    return values;
}

}  // namespace

ParseResult parse(std::span<const std::string> args, const EnvLookup& env) {
    const detail::EnvValues env_values = read_env(env);
    const std::string program = program_name(args);
    ArgumentParser parser(env_values);
    const Step step = parser.run(args.empty() ? args : args.subspan(1));
    if (step) return {ParseResult::Kind::Run, parser.cli(), "", 0};
    if (std::holds_alternative<HelpRequested>(step.error())) {
        return {ParseResult::Kind::Help, Cli{}, detail::render_help(program, env_values), 0};
    }
    return {ParseResult::Kind::Error, Cli{}, detail::render_report(std::get<CliError>(step.error()), program), 2};
}

}  // namespace quillfern::cli
