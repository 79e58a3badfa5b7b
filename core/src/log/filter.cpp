// RUST_LOG directives: parsing, ordering and the per-event decision.
#include <locale.h>
#include <wctype.h>
#include <algorithm>

#include "quillfern/log.hpp"
#include "quillfern/text.hpp"

namespace quillfern::log {

namespace {

constexpr int kOff = 5;

// Unicode letters and digits, as classified by the C.UTF-8 locale. Without that
// locale every non-ASCII character counts as a letter.
bool is_unicode_alphanumeric(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    static const locale_t utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    if (utf8_locale == locale_t{}) return true;
    return iswalnum_l(static_cast<wint_t>(c), utf8_locale) != 0;
}

bool may_start_directive(std::string_view piece) {
    std::size_t pos = 0;
    char32_t first = text::decode_utf8(piece, pos);
    return first == '-' || first == ':' || first == '_' || first == '[' || is_unicode_alphanumeric(first);
}

// "off", "error", ... "trace" in any ASCII case, or 0..5 with an optional '+'.
std::optional<int> parse_level_text(std::string_view word) {
    static constexpr std::string_view kWords[] = {"trace", "debug", "info", "warn", "error", "off"};
    std::string lower = text::ascii_lowercase(word);
    for (int level = 0; level <= kOff; ++level) {
        if (lower == kWords[level]) return level;
    }
    auto number = text::parse_u64(word);
    if (number && *number <= 5) {
        // 0 is off, 1 ERROR ... 5 TRACE.
        return *number == 0 ? kOff : static_cast<int>(5 - *number);
    }
    return std::nullopt;
}

std::optional<EnvFilter::Directive> parse_directive(std::string_view raw_piece) {
    std::string_view piece = text::trim(raw_piece);
    if (piece.empty() || !may_start_directive(piece)) return std::nullopt;
    // Span selections ("[span{field=value}]") are not supported.
    if (piece.find('[') != std::string_view::npos) return std::nullopt;

    std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) {
        if (auto level = parse_level_text(piece)) return EnvFilter::Directive{std::nullopt, *level};
        return EnvFilter::Directive{std::string(piece), 0};
    }
    std::string_view target = piece.substr(0, equals);
    std::string_view level_text = piece.substr(equals + 1);
    if (level_text.find('=') != std::string_view::npos) return std::nullopt;
    if (level_text.empty()) return EnvFilter::Directive{std::string(target), static_cast<int>(Level::Error)};
    auto level = parse_level_text(level_text);
    if (!level) return std::nullopt;
    return EnvFilter::Directive{std::string(target), *level};
}

// Directives with a target first, longer targets first; stable otherwise.
bool more_specific(const EnvFilter::Directive& a, const EnvFilter::Directive& b) {
    if (a.target.has_value() != b.target.has_value()) return a.target.has_value();
    if (!a.target) return false;
    return a.target->size() > b.target->size();
}

}  // namespace

std::optional<EnvFilter> EnvFilter::parse(std::string_view value) {
    if (!text::is_valid_utf8(value)) return std::nullopt;
    std::vector<Directive> parsed;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view piece = value.substr(start, comma - start);
        start = comma + 1;
        if (piece.empty()) continue;
        auto directive = parse_directive(piece);
        if (!directive) return std::nullopt;
        // A later directive for the same target replaces the earlier one.
        auto same = std::find_if(parsed.begin(), parsed.end(),
                                 [&](const Directive& d) { return d.target == directive->target; });
        if (same != parsed.end()) parsed.erase(same);
        parsed.push_back(std::move(*directive));
    }
    std::stable_sort(parsed.begin(), parsed.end(), more_specific);

    EnvFilter filter;
    for (const Directive& d : parsed) filter.max_level_ = std::min(filter.max_level_, d.level);
    filter.directives_ = std::move(parsed);
    return filter;
}

EnvFilter EnvFilter::fallback() { return *parse("info"); }

EnvFilter EnvFilter::from_env() {
    std::optional<std::string> value = text::env_utf8("RUST_LOG");
    if (!value) return fallback();
    if (auto filter = parse(*value)) return std::move(*filter);
    return fallback();
}

bool EnvFilter::enabled(Level level, std::string_view target) const noexcept {
    for (const Directive& d : directives_) {
        if (!d.target || target.starts_with(*d.target)) return static_cast<int>(level) >= d.level;
    }
    return false;
}

}  // namespace quillfern::log
