#include "quillfern/rpc_types.hpp"

#include <fmt/format.h>

#include "quillfern/text.hpp"
#include "success_response.hpp"

namespace quillfern::rpc_types {

json::Value string_array(std::span<const std::string_view> items) {
    json::Value array = json::Value::array();
    for (std::string_view item : items) array.push_back(std::string(item));
    return array;
}

json::Value jsonrpc_request(json::Value id, std::string_view method, json::Value params) {
    json::Value request = json::Value::object();
    request["jsonrpc"] = "2.0";
    request["id"] = std::move(id);
    request["method"] = std::string(method);
    request["params"] = std::move(params);
    return request;
}

void write_success_prefix(std::string& out, const json::Value& id) {
    // Keys in byte order: "id" < "jsonrpc" < "result".
    out += "{\"id\":";
    json::write(out, id);
    out += ",\"jsonrpc\":\"2.0\",\"result\":";
}

void write_error_response(std::string& out, const json::Value& id, std::int32_t code, std::string_view message) {
    // Keys in byte order: "error" < "id" < "jsonrpc"; "code" < "message".
    out += "{\"error\":{\"code\":";
    out += fmt::format_int(code).c_str();
    out += ",\"message\":";
    json::write_string(out, message);
    out += "},\"id\":";
    json::write(out, id);
    out += ",\"jsonrpc\":\"2.0\"}";
}

std::string jsonrpc_success_response(const json::Value& id, const json::Value& result) {
    std::string out;
    write_success_prefix(out, id);
    json::write(out, result);
    out += '}';
    return out;
}

std::string jsonrpc_error_response(const json::Value& id, std::int32_t code, std::string_view message) {
    std::string out;
    write_error_response(out, id, code, message);
    return out;
}

std::string health_text(const HealthStatus& status) {
    std::string out;
    switch (status.kind()) {
        case HealthStatus::Kind::Healthy: return "Healthy";
        case HealthStatus::Kind::Unknown: return "Unknown";
        case HealthStatus::Kind::Degraded: out = "Degraded"; break;
        case HealthStatus::Kind::Unhealthy: out = "Unhealthy"; break;
    }
    out += " { reason: ";
    text::append_debug_quoted(out, status.reason());
    out += " }";
    return out;
}

void drop_value(json::Reader& reader, std::uint32_t depth) {
    json::Value value = reader.read_value(depth);
    json::release(value);
}

std::optional<std::string> read_string_member(json::Reader& reader, std::uint32_t depth) {
    if (reader.peek_token() == '"') {
        reader.advance();
        return reader.read_string_body();
    }
    drop_value(reader, depth);
    return std::nullopt;
}

}  // namespace quillfern::rpc_types
