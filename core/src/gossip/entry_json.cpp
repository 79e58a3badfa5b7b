// Reading a GossipEntry from a parsed JSON value, or straight from JSON text, with
// serde_json's error texts; and the plain form of an entry read in place as views.
#include <array>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "entry_block.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip {
namespace {

using Result = Expected<GossipEntry, std::string>;

enum class Field : std::size_t {
    Topic,
    Key,
    Payload,
    OriginGate,
    Nonce,
    Ttl,
    Version,
    CreatedAt,
    ExpiresAt,
};
inline constexpr std::size_t kFieldCount = 9;
inline constexpr std::array<std::string_view, kFieldCount> kFieldNames{
    "topic", "key", "payload", "origin_gate", "nonce", "ttl", "version", "created_at_epoch", "expires_at_epoch",
};

std::string invalid_type(const json::Value& found, std::string_view expected) {
    return fmt::format("invalid type: {}, expected {}", json::unexpected_description(found), expected);
}

Expected<Topic, std::string> topic_from_variant(const std::string& name) {
    if (auto topic = parse_topic(name)) return *topic;
    return unexpected(fmt::format("unknown variant `{}`, expected one of `varne`, `data`, `compute`", name));
}

// A string naming the topic, or a map whose single member names it and holds null.
Expected<Topic, std::string> decode_topic(const json::Value& value) {
    if (value.is_string()) return topic_from_variant(value.get_ref<const std::string&>());
    if (value.is_object()) {
        if (value.size() != 1) return unexpected(std::string("invalid value: map, expected map with a single key"));
        auto member = value.begin();
        auto topic = topic_from_variant(member.key());
        if (!topic) return topic;
        if (!member.value().is_null()) return unexpected(invalid_type(member.value(), "unit"));
        return topic;
    }
    return unexpected(invalid_type(value, "string or map"));
}

Expected<std::string, std::string> decode_string(const json::Value& value) {
    if (value.is_string()) return value.get_ref<const std::string&>();
    return unexpected(invalid_type(value, "a string"));
}

// Integers only: a number written with a fraction or an exponent is refused even when whole.
Expected<std::uint64_t, std::string> decode_unsigned(const json::Value& value, std::uint64_t max,
                                                     std::string_view type_name) {
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number > max) return unexpected(fmt::format("invalid value: integer `{}`, expected {}", number, type_name));
        return number;
    }
    if (value.is_number_integer()) {
        auto number = value.get<std::int64_t>();
        if (number < 0 || static_cast<std::uint64_t>(number) > max) {
            return unexpected(fmt::format("invalid value: integer `{}`, expected {}", number, type_name));
        }
        return static_cast<std::uint64_t>(number);
    }
    return unexpected(invalid_type(value, type_name));
}

// The payload's canonical text, the origin's text and member names while an entry is read, kept
// between entries so that reading one allocates nothing for them (the origin is mostly
// one that the entry shares); large ones are let go once the entry is made.
class ReadScratch {
public:
    ReadScratch() : buffers_(buffers()) {
        buffers_.payload.clear();
        buffers_.origin.clear();
    }
    ~ReadScratch() {
        if (buffers_.payload.capacity() > kKeptBytes) std::string().swap(buffers_.payload);
        if (buffers_.origin.capacity() > kKeptBytes) std::string().swap(buffers_.origin);
        if (buffers_.name.capacity() > kKeptBytes) std::string().swap(buffers_.name);
    }
    ReadScratch(const ReadScratch&) = delete;
    ReadScratch& operator=(const ReadScratch&) = delete;
    std::string& payload() noexcept { return buffers_.payload; }
    std::string& origin() noexcept { return buffers_.origin; }
    std::string& name() noexcept { return buffers_.name; }

private:
    static constexpr std::size_t kKeptBytes = 64 * 1024;
    struct Buffers {
        std::string payload, origin, name;
    };
    static Buffers& buffers() {
        thread_local Buffers kept;
        return kept;
    }
    Buffers& buffers_;
};

// Holds the decoded fields until all nine are known.
struct Fields {
    explicit Fields(ReadScratch& scratch) noexcept : payload_text(scratch.payload()), origin_text(scratch.origin()) {}

    std::optional<Topic> topic;
    std::optional<std::string> key, nonce;
    bool payload = false;       // its canonical text is in payload_text
    bool origin_gate = false;   // its text is in origin_text
    std::string& payload_text;  // scratch buffers of the reader's thread
    std::string& origin_text;
    std::optional<std::uint64_t> ttl, version, created_at, expires_at;

    // Decodes one field's value; the error text of a value that does not decode.
    std::optional<std::string> decode(Field field, const json::Value& value) {
        auto take = [](auto decoded, auto& slot) -> std::optional<std::string> {
            if (!decoded) return std::move(decoded).error();
            slot = std::move(decoded).value();
            return std::nullopt;
        };
        constexpr std::uint64_t u64_max = UINT64_MAX;
        switch (field) {
            case Field::Topic: return take(decode_topic(value), topic);
            case Field::Key: return take(decode_string(value), key);
            case Field::Payload:
                payload_text.clear();
                json::write(payload_text, value);
                payload = true;
                return std::nullopt;
            case Field::OriginGate:
                if (!value.is_string()) return invalid_type(value, "a string");
                origin_text = value.get_ref<const std::string&>();
                origin_gate = true;
                return std::nullopt;
            case Field::Nonce: return take(decode_string(value), nonce);
            case Field::Ttl: return take(decode_unsigned(value, UINT8_MAX, "u8"), ttl);
            case Field::Version: return take(decode_unsigned(value, u64_max, "u64"), version);
            case Field::CreatedAt: return take(decode_unsigned(value, u64_max, "u64"), created_at);
            case Field::ExpiresAt: return take(decode_unsigned(value, u64_max, "u64"), expires_at);
        }
        return std::nullopt;
    }

    bool present(Field field) const {
        switch (field) {
            case Field::Topic: return topic.has_value();
            case Field::Key: return key.has_value();
            case Field::Payload: return payload;
            case Field::OriginGate: return origin_gate;
            case Field::Nonce: return nonce.has_value();
            case Field::Ttl: return ttl.has_value();
            case Field::Version: return version.has_value();
            case Field::CreatedAt: return created_at.has_value();
            case Field::ExpiresAt: return expires_at.has_value();
        }
        return false;
    }

    // The entry, its key, nonce and payload in one block.
    Result finish(const SharedText& known_origin = nullptr) {
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            if (!present(static_cast<Field>(i))) return unexpected(fmt::format("missing field `{}`", kFieldNames[i]));
        }
        SharedText origin = known_origin && *known_origin == origin_text ? known_origin : share_text(origin_text);
        std::shared_ptr<const detail::EntryBlock> block =
            detail::EntryBlock::make({.topic = *topic,
                                      .key = std::move(*key),
                                      .origin = origin,
                                      .nonce = *nonce,
                                      .payload = payload_text,
                                      .ttl = static_cast<std::uint8_t>(*ttl),
                                      .version = *version,
                                      .created_at_epoch = *created_at,
                                      .expires_at_epoch = *expires_at});
        GossipEntry entry;
        entry.topic = *topic;
        entry.origin_gate = std::move(origin);
        entry.nonce = std::move(*nonce);
        entry.ttl = block->ttl();
        entry.version = *version;
        entry.created_at_epoch = *created_at;
        entry.expires_at_epoch = *expires_at;
        entry.key = SharedText(block, &block->key());
        const Payload* payload_in_block = &block->payload();
        entry.payload = SharedPayload(std::move(block), payload_in_block);
        return entry;
    }
};

// The order in which entries are written (members sorted by name): a batch from a peer
// names them in this order, so the name expected next is tried first.
inline constexpr std::array<Field, kFieldCount> kWrittenOrder{
    Field::CreatedAt, Field::ExpiresAt, Field::Key, Field::Nonce,   Field::OriginGate,
    Field::Payload,   Field::Topic,     Field::Ttl, Field::Version,
};

// The field of a member name, by its length first: at most two names share one, and the
// bytes of a name of known length are compared in place.
std::optional<Field> field_named(std::string_view name) {
    auto is = [name]<std::size_t N>(const char(&text)[N]) { return std::memcmp(name.data(), text, N - 1) == 0; };
    switch (name.size()) {
        case 3: return is("key") ? Field::Key : is("ttl") ? Field::Ttl : std::optional<Field>();
        case 5: return is("topic") ? Field::Topic : is("nonce") ? Field::Nonce : std::optional<Field>();
        case 7: return is("payload") ? Field::Payload : is("version") ? Field::Version : std::optional<Field>();
        case 11: return is("origin_gate") ? Field::OriginGate : std::optional<Field>();
        case 16:
            return is("created_at_epoch")   ? Field::CreatedAt
                   : is("expires_at_epoch") ? Field::ExpiresAt
                                            : std::optional<Field>();
        default: return std::nullopt;
    }
}

Result from_object(const json::Value& object) {
    ReadScratch scratch;
    Fields fields(scratch);
    for (auto member = object.begin(); member != object.end(); ++member) {
        auto field = field_named(member.key());
        if (!field) continue;
        if (auto error = fields.decode(*field, member.value())) return unexpected(std::move(*error));
    }
    return fields.finish();
}

Result from_array(const json::Value& array) {
    ReadScratch scratch;
    Fields fields(scratch);
    const std::size_t length = array.size();
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i >= length) {
            return unexpected(fmt::format("invalid length {}, expected struct GossipEntry with 9 elements", i));
        }
        if (auto error = fields.decode(static_cast<Field>(i), array[i])) return unexpected(std::move(*error));
    }
    if (length > kFieldCount) {
        return unexpected(fmt::format("invalid length {}, expected fewer elements in array", length));
    }
    return fields.finish();
}

// ---- Straight from the text ----------------------------------------------------------
// The reading of a member gives what decoding the value read_value would build gives;
// strings and the payload are taken without building values.

// Reads one field's value at nesting level `depth` into `fields`; the error text of a
// value that does not decode. The reader's own failure is the caller's to test.
std::optional<std::string> read_field(json::Reader& reader, std::uint32_t depth, Field field, Fields& fields) {
    switch (field) {
        case Field::Payload:
            fields.payload_text.clear();
            fields.payload = reader.read_canonical(fields.payload_text, depth);
            return std::nullopt;
        case Field::OriginGate:
            if (reader.peek_token() == '"') {
                reader.advance();
                fields.origin_text.clear();
                fields.origin_gate = reader.read_string_into(fields.origin_text);
                return std::nullopt;
            }
            break;
        case Field::Topic:
        case Field::Key:
        case Field::Nonce:
            if (reader.peek_token() == '"') {
                reader.advance();
                std::string text = reader.read_string_body();
                if (reader.failed()) return std::nullopt;
                if (field == Field::Topic) {
                    auto topic = topic_from_variant(text);
                    if (!topic) return std::move(topic).error();
                    fields.topic = *topic;
                } else {
                    (field == Field::Key ? fields.key : fields.nonce) = std::move(text);
                }
                return std::nullopt;
            }
            break;
        default: break;
    }
    const json::Value value = reader.read_value(depth);
    if (reader.failed()) return std::nullopt;
    return fields.decode(field, value);
}

Result read_object(json::Reader& reader, std::uint32_t depth, const SharedText& known_origin) {
    ReadScratch scratch;
    Fields fields(scratch);
    // Of a repeated member the last counts, as in the value the text reads to: a field's
    // error stands only while no later member of its name decodes.
    std::array<std::optional<std::string>, kFieldCount> errors;
    std::string& name_scratch = scratch.name();  // a name with escapes, decoded
    std::size_t expected = 0;                    // in kWrittenOrder: the member that usually comes next
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the name's opening quote
        const std::string_view name = reader.read_string_view(name_scratch);
        if (reader.failed() || !reader.read_colon()) return unexpected(std::string());
        std::optional<Field> field;
        if (expected < kWrittenOrder.size() && name == kFieldNames[static_cast<std::size_t>(kWrittenOrder[expected])]) {
            field = kWrittenOrder[expected++];
        } else {
            field = field_named(name);
        }
        if (!field) {
            static_cast<void>(reader.read_value(depth));
        } else {
            errors[static_cast<std::size_t>(*field)] = read_field(reader, depth, *field, fields);
        }
        if (reader.failed()) return unexpected(std::string());
    }
    if (reader.failed() || !reader.close_object()) return unexpected(std::string());
    for (auto& error : errors) {
        if (error) return unexpected(std::move(*error));
    }
    return fields.finish(known_origin);
}

Result read_array(json::Reader& reader, std::uint32_t depth, const SharedText& known_origin) {
    ReadScratch scratch;
    Fields fields(scratch);
    std::optional<std::string> error;
    std::size_t length = 0;
    for (bool first = true; reader.has_next_element(first); first = false, ++length) {
        if (length < kFieldCount && !error) {
            error = read_field(reader, depth, static_cast<Field>(length), fields);
        } else {
            static_cast<void>(reader.read_value(depth));
        }
        if (reader.failed()) return unexpected(std::string());
    }
    if (reader.failed() || !reader.close_array()) return unexpected(std::string());
    if (error) return unexpected(std::move(*error));
    if (length < kFieldCount) {
        return unexpected(fmt::format("invalid length {}, expected struct GossipEntry with 9 elements", length));
    }
    if (length > kFieldCount) {
        return unexpected(fmt::format("invalid length {}, expected fewer elements in array", length));
    }
    return fields.finish(known_origin);
}

}  // namespace

Expected<GossipEntry, std::string> GossipEntry::from_json(const json::Value& value) {
    if (value.is_object()) return from_object(value);
    if (value.is_array()) return from_array(value);
    return unexpected(invalid_type(value, "struct GossipEntry"));
}

Expected<GossipEntry, std::string> GossipEntry::read(json::Reader& reader, std::uint32_t depth,
                                                     const SharedText& known_origin) {
    const int next = reader.peek_token();
    if (next == '{' || next == '[') {
        if (!reader.check_depth(depth)) return unexpected(std::string());
        reader.advance();
        return next == '{' ? read_object(reader, depth + 1, known_origin) : read_array(reader, depth + 1, known_origin);
    }
    const json::Value value = reader.read_value(depth);
    return unexpected(invalid_type(value, "struct GossipEntry"));
}

// ---- In place, as views ----------------------------------------------------------------

namespace {

// Reads the value of one member into `view`; the reader declines what is not plain.
void read_plain_field(json::PlainReader& reader, Field field, EntryView& view) noexcept {
    auto number = [&reader](std::uint64_t max) {
        const std::uint64_t value = reader.unsigned_integer();
        if (value > max) reader.decline();
        return value;
    };
    switch (field) {
        case Field::Topic: {
            const std::optional<Topic> topic = parse_topic(reader.string());
            if (!topic) {
                reader.decline();
            } else {
                view.topic = *topic;
            }
            return;
        }
        case Field::Key: view.key = reader.string(); return;
        case Field::Payload: view.payload = reader.canonical_value(kPlainPayloadDepth); return;
        case Field::OriginGate: view.origin_gate = reader.string(); return;
        case Field::Nonce: view.nonce = reader.string(); return;
        case Field::Ttl: view.ttl = static_cast<std::uint8_t>(number(UINT8_MAX)); return;
        case Field::Version: view.version = number(UINT64_MAX); return;
        case Field::CreatedAt: view.created_at_epoch = number(UINT64_MAX); return;
        case Field::ExpiresAt: view.expires_at_epoch = number(UINT64_MAX); return;
    }
}

}  // namespace

EntryView EntryView::read(json::PlainReader& reader) noexcept {
    EntryView view;
    if (!reader.take('{')) return view;
    unsigned seen = 0;  // one bit per field
    for (bool first = true;; first = false) {
        if (!first && !reader.take_if(',')) break;
        const std::optional<Field> field = field_named(reader.name());
        if (reader.declined()) return view;
        const unsigned bit = field ? 1u << static_cast<unsigned>(*field) : 0;
        if ((seen & bit) != 0 || bit == 0) {  // a repeated or unknown member
            reader.decline();
            return view;
        }
        seen |= bit;
        read_plain_field(reader, *field, view);
        if (reader.declined()) return view;
    }
    if (!reader.take('}') || seen != (1u << kFieldCount) - 1) reader.decline();
    return view;
}

GossipEntry EntryView::entry(const SharedText& known_origin) const {
    SharedText origin =
        known_origin && *known_origin == origin_gate ? known_origin : share_text(std::string(origin_gate));
    std::shared_ptr<const detail::EntryBlock> block = detail::EntryBlock::make({.topic = topic,
                                                                                .key = std::string(key),
                                                                                .origin = origin,
                                                                                .nonce = nonce,
                                                                                .payload = payload,
                                                                                .ttl = ttl,
                                                                                .version = version,
                                                                                .created_at_epoch = created_at_epoch,
                                                                                .expires_at_epoch = expires_at_epoch});
    return GossipEntry::of_block(std::move(block), ttl);
}

}  // namespace quillfern::gossip
