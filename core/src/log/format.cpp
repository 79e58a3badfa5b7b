// How an event becomes a line: timestamp, level, target, message and fields, with
// the SGR colour sequences when colours are on.
#include <ctime>

#include <fmt/format.h>

#include "quillfern/log.hpp"
#include "quillfern/text.hpp"

namespace quillfern::log {

namespace {

constexpr std::string_view kReset = "\x1b[0m";

// Decodes one code point of strict UTF-8 at `pos` and advances past it. An invalid
// sequence gives none and is skipped as far as it was a valid beginning (at least one
// byte), so that each broken sequence stands for one replacement character.
std::optional<char32_t> next_code_point(std::string_view s, std::size_t& pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = byte(pos);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    char32_t value;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        value = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        value = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        ++pos;
        return std::nullopt;
    }
    for (std::size_t i = 1; i <= need; ++i) {
        bool fits = pos + i < s.size() &&
                    (i == 1 ? byte(pos + i) >= lo && byte(pos + i) <= hi : (byte(pos + i) & 0xC0) == 0x80);
        if (!fits) {
            pos += i;
            return std::nullopt;
        }
        value = (value << 6) | (byte(pos + i) & 0x3F);
    }
    pos += need + 1;
    return value;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void append_unicode_escape(std::string& out, char32_t c) {
    fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
}

// Whether a character is written as \u{..}: the C0 controls without a shorter escape of
// their own (tab alone stays as it is), the C1 controls, and the line and paragraph
// separators, which some tools take for line breaks.
bool escaped_as_code(char32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// Messages and text values: terminal controls and line breaks are written as escapes,
// so no logged text can recolour the terminal or forge a line of its own.
void append_escaped(std::string& out, std::string_view s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t start = pos;
        std::optional<char32_t> c = next_code_point(s, pos);
        if (!c) {
            out += kReplacement;
            continue;
        }
        switch (*c) {
            case 0x1B: out += "\\x1b"; break;
            case 0x07: out += "\\x07"; break;
            case 0x08: out += "\\x08"; break;
            case 0x0C: out += "\\x0c"; break;
            case 0x7F: out += "\\x7f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            default:
                if (escaped_as_code(*c)) {
                    append_unicode_escape(out, *c);
                } else {
                    out.append(s.substr(start, pos - start));
                }
        }
    }
}

struct LevelStyle {
    std::string_view text;
    std::string_view sgr;
};

LevelStyle style_of(Level level) {
    switch (level) {
        case Level::Trace: return {"TRACE", "35"};
        case Level::Debug: return {"DEBUG", "34"};
        case Level::Info: return {" INFO", "32"};
        case Level::Warn: return {" WARN", "33"};
        case Level::Error: return {"ERROR", "31"};
    }
    return {"ERROR", "31"};
}

}  // namespace

void detail::append_painted(std::string& out, std::string_view sgr, std::string_view piece, bool colour) {
    if (!colour) {
        out += piece;
        return;
    }
    out += "\x1b[";
    out += sgr;
    out += 'm';
    out += piece;
    out += kReset;
}

void detail::append_field_value(std::string& out, const Field& field) {
    switch (field.form) {
        case FieldForm::Text:
        case FieldForm::Variant: append_escaped(out, field.text); break;
        case FieldForm::Number: fmt::format_to(std::back_inserter(out), "{}", field.number); break;
        case FieldForm::Quoted: text::append_debug_quoted(out, field.text); break;
        case FieldForm::List: {
            out += '[';
            bool first = true;
            for (const std::string& item : field.items) {
                if (!first) out += ", ";
                first = false;
                text::append_debug_quoted(out, item);
            }
            out += ']';
            break;
        }
    }
}

void format_line(std::string& out, Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields, bool colour, std::string_view timestamp, std::string_view spans) {
    detail::append_painted(out, "2", timestamp, colour);
    out += ' ';
    LevelStyle style = style_of(level);
    detail::append_painted(out, style.sgr, style.text, colour);
    out += ' ';
    out += spans;
    detail::append_painted(out, "2", target, colour);
    detail::append_painted(out, "2", ":", colour);
    out += ' ';
    append_escaped(out, message);
    for (const Field& field : fields) {
        // Bookkeeping fields of bridged records are never written.
        if (field.name.starts_with("log.")) continue;
        out += ' ';
        detail::append_painted(out, "3", field.name, colour);
        detail::append_painted(out, "2", "=", colour);
        detail::append_field_value(out, field);
    }
    out += '\n';
}

std::string format_timestamp(std::int64_t seconds, std::uint32_t nanoseconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (gmtime_r(&time, &parts) == nullptr) {
        time = 0;
        gmtime_r(&time, &parts);
    }
    std::uint32_t micros = nanoseconds / 1000;
    if (micros > 999999) micros = 999999;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", parts.tm_year + 1900, parts.tm_mon + 1,
                       parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, micros);
}

}  // namespace quillfern::log
