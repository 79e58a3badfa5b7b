// The help text, laid out like the argument parser's default rendering for a
// 100-column screen: when any entry's text would not fit beside the switches, every
// entry puts its text on the following line, indented by ten columns; long texts
// are wrapped at ASCII spaces.
#include <algorithm>
#include <vector>

#include "command.hpp"
#include "quillfern/text.hpp"
#include "rust_text.hpp"

namespace quillfern::cli::detail {
namespace {

constexpr std::size_t kScreenWidth = 100;
constexpr std::string_view kTab = "  ";
constexpr std::size_t kTabWidth = kTab.size();
constexpr std::string_view kNextLineIndent = "        ";
constexpr std::size_t kShortColumnWidth = 4;  // "-h, " or its blank stand-in

struct Entry {
    std::string switches;  // what follows the leading tab: "    --family-id <FAMILY_ID>"
    std::string display;   // the option as messages name it
    std::string text;      // help text
    std::string annotations;
};

// Splits a line into words, each keeping the ASCII spaces that follow it; leading
// spaces form a word of their own.
std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    bool in_spaces = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const bool space = line[i] == ' ';
        if (in_spaces && !space) {
            words.push_back(line.substr(start, i - start));
            start = i;
        }
        in_spaces = space;
    }
    if (start < line.size()) words.push_back(line.substr(start));
    return words;
}

// Greedy wrapping: a word that would end past `width` starts a new line, which
// repeats the indentation that opened the source line.
std::string wrap(std::string_view source, std::size_t width) {
    std::string out;
    std::size_t begin = 0;
    while (begin < source.size()) {
        const std::size_t newline = source.find('\n', begin);
        const std::size_t end = newline == std::string_view::npos ? source.size() : newline + 1;
        const std::vector<std::string_view> words = words_of(source.substr(begin, end - begin));
        begin = end;

        std::string_view indentation;
        if (!words.empty() && text::trim(words.front()).empty()) indentation = words.front();
        std::vector<std::string_view> placed;
        std::size_t line_width = 0;
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string_view trimmed = trim_end(words[i]);
            const std::size_t word_width = display_width(trimmed);
            if (i != 0 && width < line_width + word_width) {
                placed.back() = trim_end(placed.back());
                placed.push_back("\n");
                placed.push_back(indentation);
                line_width = indentation.size();
            }
            line_width += word_width + (words[i].size() - trimmed.size());
            placed.push_back(words[i]);
        }
        for (std::string_view piece : placed) out.append(piece);
    }
    return std::string(trim_end(out));
}

std::string annotations_of(const OptionDef& option, const std::optional<std::string>& env) {
    std::string out = "[env: ";
    out += option.env_name;
    out += "=";
    if (env) out += to_string_lossy(*env);
    out += "]";
    if (!option.default_value.empty()) {
        out += " [default: ";
        out += option.default_value;
        out += "]";
    }
    return out;
}

std::vector<Entry> entries_of(const EnvValues& env) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < kOptionCount; ++i) {
        const OptionDef& option = kOptions[i];
        const std::string display = option_display(option);
        entries.push_back({std::string(kShortColumnWidth, ' ') + display, display, std::string(option.help),
                           annotations_of(option, env[i])});
    }
    const std::string help_display = "--" + std::string(kHelpLong);
    entries.push_back({std::string("-") + kHelpShort + ", " + help_display, help_display, std::string(kHelpText), ""});
    return entries;
}

}  // namespace

std::string option_display(const OptionDef& option) {
    std::string out = "--" + std::string(option.long_name);
    if (option.takes_value()) out += " <" + std::string(option.value_name) + ">";
    return out;
}

std::string render_help(std::string_view program_name, const EnvValues& env) {
    const std::vector<Entry> entries = entries_of(env);
    std::size_t longest = 2;
    for (const Entry& entry : entries) longest = std::max(longest, display_width(entry.display));

    // Beside the switches the text starts after the longest one and two tabs.
    const std::size_t taken = longest + kTabWidth * 2 + kShortColumnWidth;
    const bool next_line = std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) {
        const std::size_t text_width = display_width(entry.text) + display_width(entry.annotations);
        return kScreenWidth >= taken && static_cast<float>(taken) / static_cast<float>(kScreenWidth) > 0.40f &&
               text_width > kScreenWidth - taken;
    });
    const std::size_t text_column = next_line ? kTab.size() + kNextLineIndent.size() : taken;
    const std::string continuation = "\n" + std::string(text_column, ' ');

    std::string out = wrap(kAbout, kScreenWidth);
    out += "\n\nUsage: ";
    out += program_name;
    out += " [OPTIONS]\n\nOptions:\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (i != 0) out += "\n";
        out += kTab;
        out += entry.switches;
        if (next_line) {
            out += "\n";
            out += kTab;
            out += kNextLineIndent;
        } else {
            out += std::string(longest + kTabWidth - display_width(entry.display), ' ');
        }
        std::string body = entry.text;
        if (!entry.annotations.empty()) {
            if (!body.empty()) body += " ";
            body += entry.annotations;
        }
        const std::size_t available = kScreenWidth > text_column ? kScreenWidth - text_column : 0;
        const std::string wrapped = wrap(body, available);
        for (char c : wrapped) {
            if (c == '\n') {
                out += continuation;
            } else {
                out += c;
            }
        }
    }
    std::string result(text::trim(out));
    result += "\n";
    return result;
}

}  // namespace quillfern::cli::detail
