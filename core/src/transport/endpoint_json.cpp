// The JSON form of TransportEndpoint: an object tagged by "transport", or an array whose
// first element is the tag. Reading follows the JSON library of the rest of the mesh step
// by step, so that every error has its text and its position: the tag is looked for while
// the object is read and the other members are set aside; once the whole object (or array)
// is read, the chosen variant takes its fields from what was set aside, and faults found
// then are reported where the reading stopped.
#include <array>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "quillfern/transport.hpp"

namespace quillfern::transport {
namespace {

using json::Reader;
using json::Value;

enum class Tag : std::size_t { Uds = 0, Tcp = 1, MeshRelay = 2 };

struct Shape {
    std::string_view name;
    std::size_t field_count;
    std::array<std::string_view, 2> fields;
};
constexpr std::array<Shape, 3> kShapes{{
    {"Uds", 1, {"path", ""}},
    {"Tcp", 2, {"host", "port"}},
    {"MeshRelay", 2, {"peer_id", "capability"}},
}};

const Shape& shape_of(Tag tag) { return kShapes[static_cast<std::size_t>(tag)]; }

std::string invalid_type(const Value& found, std::string_view expected) {
    return "invalid type: " + json::unexpected_description(found) + ", expected " + std::string(expected);
}

// The variant's fields as they are decoded, each at most once.
class Fields {
public:
    explicit Fields(Tag tag) : tag_(tag) {}

    bool has(std::size_t index) const { return present_[index]; }

    // Decodes the value of field `index`; the error text when it doesn't decode.
    std::optional<std::string> take(std::size_t index, const Value& value) {
        if (tag_ == Tag::Tcp && index == 1) {
            if (value.is_number_unsigned()) {
                const auto number = value.get<std::uint64_t>();
                if (number > 0xFFFF) return "invalid value: integer `" + std::to_string(number) + "`, expected u16";
                port_ = static_cast<std::uint16_t>(number);
            } else if (value.is_number_integer()) {
                return "invalid value: integer `" + std::to_string(value.get<std::int64_t>()) + "`, expected u16";
            } else {
                return invalid_type(value, "u16");
            }
        } else {
            if (!value.is_string()) return invalid_type(value, "a string");
            texts_[index] = value.get_ref<const std::string&>();
        }
        present_[index] = true;
        return std::nullopt;
    }

    TransportEndpoint build() && {
        switch (tag_) {
            case Tag::Uds: return Uds{std::move(texts_[0])};
            case Tag::Tcp: return Tcp{std::move(texts_[0]), port_};
            case Tag::MeshRelay: break;
        }
        return MeshRelay{std::move(texts_[0]), std::move(texts_[1])};
    }

private:
    Tag tag_;
    std::array<bool, 2> present_{};
    std::array<std::string, 2> texts_;
    std::uint16_t port_ = 0;
};

using Members = std::vector<std::pair<std::string, Value>>;

// Object form: members named like the variant's fields are decoded in their order,
// all others are ignored.
Expected<TransportEndpoint, std::string> from_members(Tag tag, const Members& members) {
    const Shape& shape = shape_of(tag);
    Fields fields(tag);
    for (const auto& [name, value] : members) {
        for (std::size_t i = 0; i < shape.field_count; ++i) {
            if (name != shape.fields[i]) continue;
            if (fields.has(i)) return unexpected("duplicate field `" + name + "`");
            if (auto error = fields.take(i, value)) return unexpected(std::move(*error));
        }
    }
    for (std::size_t i = 0; i < shape.field_count; ++i) {
        if (!fields.has(i)) return unexpected("missing field `" + std::string(shape.fields[i]) + "`");
    }
    return std::move(fields).build();
}

// Array form: exactly the variant's fields, in order, after the tag.
Expected<TransportEndpoint, std::string> from_elements(Tag tag, const std::vector<Value>& elements) {
    const Shape& shape = shape_of(tag);
    Fields fields(tag);
    for (std::size_t i = 0; i < shape.field_count; ++i) {
        if (i >= elements.size()) {
            return unexpected("invalid length " + std::to_string(i) +
                              ", expected struct variant TransportEndpoint::" + std::string(shape.name) + " with " +
                              std::to_string(shape.field_count) + (shape.field_count == 1 ? " element" : " elements"));
        }
        if (auto error = fields.take(i, elements[i])) return unexpected(std::move(*error));
    }
    if (elements.size() > shape.field_count) {
        return unexpected("invalid length " + std::to_string(elements.size()) + ", expected " +
                          std::to_string(shape.field_count) +
                          (shape.field_count == 1 ? " element in sequence" : " elements in sequence"));
    }
    return std::move(fields).build();
}

// The tag: a string naming a variant. Anything else is read as far as a value of its
// kind is read (arrays and objects not at all) and refused there.
std::optional<Tag> read_tag(Reader& reader) {
    const int c = reader.peek_token();
    if (c == '"') {
        reader.advance();
        const std::string name = reader.read_string_body();
        if (reader.failed()) return std::nullopt;
        if (name == "uds") return Tag::Uds;
        if (name == "tcp") return Tag::Tcp;
        if (name == "mesh_relay") return Tag::MeshRelay;
        reader.fail("unknown variant `" + name + "`, expected one of `uds`, `tcp`, `mesh_relay`");
        return std::nullopt;
    }
    if (c == '[' || c == '{') {
        reader.fail(std::string("invalid type: ") + (c == '[' ? "sequence" : "map") + ", expected variant identifier");
        return std::nullopt;
    }
    const Value found = reader.read_value(1);
    if (!reader.failed()) reader.fail(invalid_type(found, "variant identifier"));
    return std::nullopt;
}

// A fault found while reading the members but not at any byte: reported after the
// closing bracket, if that comes next.
void fail_before_close(Reader& reader, char close, std::string message) {
    if (reader.peek_token() == static_cast<unsigned char>(close)) reader.advance();
    reader.fail(std::move(message));
}

std::optional<TransportEndpoint> finish_variant(Reader& reader, Expected<TransportEndpoint, std::string> endpoint) {
    if (!endpoint) {
        reader.fail(std::move(endpoint).error());
        return std::nullopt;
    }
    return std::move(endpoint).value();
}

// After '{'.
std::optional<TransportEndpoint> read_object_form(Reader& reader) {
    std::optional<Tag> tag;
    Members members;
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the key's opening quote
        std::string key = reader.read_string_body();
        if (reader.failed()) return std::nullopt;
        if (key == "transport") {
            if (tag) {
                fail_before_close(reader, '}', "duplicate field `transport`");
                return std::nullopt;
            }
            if (!reader.read_colon()) return std::nullopt;
            tag = read_tag(reader);
            if (!tag) return std::nullopt;
        } else {
            if (!reader.read_colon()) return std::nullopt;
            Value value = reader.read_value(1);
            if (reader.failed()) return std::nullopt;
            members.emplace_back(std::move(key), std::move(value));
        }
    }
    if (reader.failed()) return std::nullopt;
    if (!tag) {
        fail_before_close(reader, '}', "missing field `transport`");
        return std::nullopt;
    }
    if (!reader.close_object()) return std::nullopt;
    return finish_variant(reader, from_members(*tag, members));
}

// After '['.
std::optional<TransportEndpoint> read_array_form(Reader& reader) {
    if (!reader.has_next_element(true)) {
        if (!reader.failed()) fail_before_close(reader, ']', "missing field `transport`");
        return std::nullopt;
    }
    const auto tag = read_tag(reader);
    if (!tag) return std::nullopt;
    std::vector<Value> elements;
    while (reader.has_next_element(false)) {
        elements.push_back(reader.read_value(1));
        if (reader.failed()) return std::nullopt;
    }
    if (reader.failed() || !reader.close_array()) return std::nullopt;
    return finish_variant(reader, from_elements(*tag, elements));
}

std::optional<TransportEndpoint> read_endpoint(Reader& reader) {
    const int c = reader.peek_token();
    if (c == '{' || c == '[') {
        if (!reader.check_depth(0)) return std::nullopt;
        reader.advance();
        return c == '{' ? read_object_form(reader) : read_array_form(reader);
    }
    const Value found = reader.read_value(0);
    if (!reader.failed()) reader.fail(invalid_type(found, "internally tagged enum TransportEndpoint"));
    return std::nullopt;
}

}  // namespace

json::Value TransportEndpoint::to_json() const {
    Value out = Value::object();
    if (const auto* uds = std::get_if<Uds>(&v_)) {
        out["transport"] = "uds";
        out["path"] = uds->path;
    } else if (const auto* tcp = std::get_if<Tcp>(&v_)) {
        out["transport"] = "tcp";
        out["host"] = tcp->host;
        out["port"] = static_cast<std::uint64_t>(tcp->port);
    } else {
        const auto& relay = std::get<MeshRelay>(v_);
        out["transport"] = "mesh_relay";
        out["peer_id"] = relay.peer_id;
        out["capability"] = relay.capability;
    }
    return out;
}

Expected<TransportEndpoint, json::Error> TransportEndpoint::from_json_text(std::string_view text) {
    try {
        Reader reader(text);
        auto endpoint = read_endpoint(reader);
        if (endpoint && reader.finish()) return std::move(*endpoint);
        return unexpected(reader.error());
    } catch (const std::bad_alloc&) {
        return unexpected(json::Error{"memory allocation failed", 0, 0});
    }
}

}  // namespace quillfern::transport
