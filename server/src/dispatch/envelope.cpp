#include "envelope.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

// Whether the quote at `at` is escaped: preceded by an odd run of backslashes.
bool escaped(std::string_view text, std::size_t at) noexcept {
    std::size_t backslashes = 0;
    while (at > backslashes && text[at - 1 - backslashes] == '\\') ++backslashes;
    return backslashes % 2 == 1;
}

// The closing quote of the string whose opening quote is at `open`, or npos. Eight bytes
// are looked at at once while none of them is a quote.
std::size_t closing_quote(std::string_view text, std::size_t open) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    std::size_t i = open + 1;
    for (;;) {
        while (text.size() - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            const std::uint64_t quotes = word ^ (kOnes * '"');
            if (((quotes - kOnes) & ~quotes & kHighs) != 0) break;  // a quote among them
            i += 8;
        }
        while (i < text.size() && text[i] != '"') ++i;
        if (i >= text.size()) return std::string_view::npos;
        if (!escaped(text, i)) return i;
        ++i;
    }
}

// What a byte means to the scan inside a container: only strings and brackets count.
enum ByteKind : std::uint8_t { kOther, kQuote, kOpen, kClose };

constexpr std::array<ByteKind, 256> kByteKinds = [] {
    std::array<ByteKind, 256> kinds{};
    kinds['"'] = kQuote;
    kinds['['] = kinds['{'] = kOpen;
    kinds[']'] = kinds['}'] = kClose;
    return kinds;
}();

// The bytes that can follow a number or a literal.
bool ends_scalar(char c) noexcept {
    return c == ',' || c == ']' || c == '}' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The end of the one value that starts at `at`, found by matching brackets outside strings:
// a string runs to its closing quote, a container to its closing bracket, anything else to
// the byte that can follow a value. What is inside is not checked here (the method that
// takes the params reads them by every rule of the JSON reader), so a line whose params do
// not read as one value is refused then. None when the text ends first.
std::optional<std::size_t> value_end(std::string_view text, std::size_t at) noexcept {
    if (at >= text.size()) return std::nullopt;
    if (text[at] == '"') {
        const std::size_t quote = closing_quote(text, at);
        if (quote == std::string_view::npos) return std::nullopt;
        return quote + 1;
    }
    if (kByteKinds[static_cast<unsigned char>(text[at])] != kOpen) {
        std::size_t i = at;
        while (i < text.size() && !ends_scalar(text[i])) ++i;
        return i;
    }
    std::size_t depth = 1;
    std::size_t i = at + 1;
#if defined(__SSE2__)
    // Sixteen bytes at a time while they hold no backslash: the quotes give which bytes are
    // inside strings (each quote flips it), so only the brackets outside them are counted.
    bool in_string = false;
    while (text.size() - i >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        auto mask = [&bytes](char c) {
            return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
        };
        if (mask('\\') != 0) break;
        const std::uint32_t quotes = mask('"');
        std::uint32_t inside = quotes;  // set from each opening quote up to its closing one
        inside ^= inside << 1;
        inside ^= inside << 2;
        inside ^= inside << 4;
        inside ^= inside << 8;
        if (in_string) inside = ~inside;
        const std::uint32_t opens = (mask('[') | mask('{')) & ~inside & 0xFFFFu;
        const std::uint32_t closes = (mask(']') | mask('}')) & ~inside & 0xFFFFu;
        // Brackets are few next to the bytes of strings: each is looked at.
        for (std::uint32_t brackets = opens | closes; brackets != 0; brackets &= brackets - 1) {
            const auto bit = static_cast<std::size_t>(std::countr_zero(brackets));
            if ((opens >> bit) & 1u) {
                ++depth;
            } else if (--depth == 0) {
                return i + bit + 1;
            }
        }
        in_string = ((inside >> 15) & 1u) != 0;  // the last byte's state, quotes included
        i += 16;
    }
    // A block with a backslash, or the last bytes: one at a time from here, from inside
    // the string the blocks ended in when they did.
    if (in_string) {
        i = closing_quote(text, i - 1);
        if (i == std::string_view::npos) return std::nullopt;
        ++i;
    }
#endif
    for (; i < text.size(); ++i) {
        switch (kByteKinds[static_cast<unsigned char>(text[i])]) {
            case kOther: break;
            case kQuote:
                i = closing_quote(text, i);
                if (i == std::string_view::npos) return std::nullopt;
                break;
            case kOpen: ++depth; break;
            case kClose:
                if (--depth == 0) return i + 1;
                break;
        }
    }
    return std::nullopt;
}

// Reads params that a later params member replaces, and drops them: no method reads them,
// so they are checked here, within what the line's memory budget has left after `used`.
// Gives what they took of it, or none when they are not one JSON value.
std::optional<std::size_t> drop_replaced_params(std::string_view params, std::size_t used) {
    json::Reader reader(params, json::kMaxBuildBytes - used);
    rpc_types::drop_value(reader, 1);
    if (reader.failed() || !reader.finish()) return std::nullopt;
    return reader.built_bytes();
}

}  // namespace

std::optional<Envelope> read_envelope(std::string_view line) {
    using namespace std::string_view_literals;
    json::Reader reader(line);
    Envelope envelope;
    if (reader.peek_token() != '{') {
        rpc_types::drop_value(reader, 0);
        if (reader.failed() || !reader.finish()) return std::nullopt;
        envelope.built_bytes = reader.built_bytes();
        return envelope;
    }
    reader.advance();
    std::string key_scratch;        // a key with escapes, decoded
    std::size_t dropped_bytes = 0;  // taken by params that a later member replaced
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the key's opening quote
        const std::string_view key = reader.read_string_view(key_scratch);
        if (reader.failed() || !reader.read_colon()) return std::nullopt;
        if (key == "method"sv) {
            // A method that is not a string names no method.
            envelope.method = rpc_types::read_string_member(reader, 1).value_or(std::string());
        } else if (key == "id"sv) {
            envelope.id = reader.read_value(1);
        } else if (key == "params"sv) {
            if (envelope.params) {
                const auto dropped = drop_replaced_params(*envelope.params, reader.built_bytes() + dropped_bytes);
                if (!dropped) return std::nullopt;
                dropped_bytes += *dropped;
            }
            static_cast<void>(reader.peek_token());  // past the white space before the value
            const std::size_t start = reader.offset();
            const std::optional<std::size_t> end = value_end(line, start);
            if (!end) return std::nullopt;
            envelope.params = line.substr(start, *end - start);
            for (std::size_t i = start; i < *end; ++i) reader.advance();  // the reader steps over them
        } else {
            static_cast<void>(rpc_types::read_string_member(reader, 1));
        }
        if (reader.failed()) return std::nullopt;
    }
    if (reader.failed() || !reader.close_object() || !reader.finish()) return std::nullopt;
    envelope.built_bytes = reader.built_bytes() + dropped_bytes;
    return envelope;
}

std::optional<PlainRequest> PlainRequest::open(std::string_view line) noexcept {
    if (line.size() > kMaxLineBytes) return std::nullopt;
    PlainRequest request(line);
    json::PlainReader& reader = request.reader_;
    if (!reader.take('{')) return std::nullopt;
    for (bool first = true;; first = false) {
        if (!first && !reader.take(',')) return std::nullopt;
        const std::string_view name = reader.name();
        if (reader.declined()) return std::nullopt;
        if (name == "params") {
            if (!request.has_method_) return std::nullopt;
            return request;
        }
        if (!request.read_member(name)) return std::nullopt;
    }
}

bool PlainRequest::read_member(std::string_view name) noexcept {
    using namespace std::string_view_literals;
    if (name == "jsonrpc"sv && !has_jsonrpc_) {
        has_jsonrpc_ = true;
        static_cast<void>(reader_.string());
    } else if (name == "method"sv && !has_method_) {
        has_method_ = true;
        method_ = reader_.string();
    } else if (name == "id"sv && !has_id_) {
        has_id_ = true;
        const int next = reader_.peek();
        if (next == '"') {
            id_kind_ = IdKind::String;
            id_text_ = reader_.string();
        } else if (next == 'n') {
            const std::string_view rest = reader_.canonical_value(0);
            if (rest != "null"sv) reader_.decline();
        } else {
            id_kind_ = IdKind::Number;
            id_number_ = reader_.unsigned_integer();
        }
    } else {
        return false;
    }
    return !reader_.declined();
}

bool PlainRequest::finish() noexcept {
    if (reader_.declined()) return false;
    while (reader_.take_if(',')) {
        const std::string_view name = reader_.name();
        if (reader_.declined() || !read_member(name)) return false;
    }
    return reader_.take('}') && reader_.at_end();
}

json::Value PlainRequest::id() const {
    switch (id_kind_) {
        case IdKind::Number: return json::Value(id_number_);
        case IdKind::String: return json::Value(std::string(id_text_));
        case IdKind::Null: break;
    }
    return json::Value();
}

}  // namespace quillfern::dispatch::detail
