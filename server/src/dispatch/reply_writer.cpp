#include "reply_writer.hpp"

#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

const std::string& parse_error_reply() {
    static const std::string reply =
        rpc_types::jsonrpc_error_response(nullptr, rpc_types::kParseError, rpc_types::kParseErrorMessage);
    return reply;
}

}  // namespace

void ReplyWriter::begin_success(const json::Value& id) { rpc_types::write_success_prefix(sink_.out, id); }

asio::awaitable<bool> ReplyWriter::chunk_done() {
    if (!sink_.drain || sink_.out.size() < kReplyChunkBytes) co_return true;
    drained_ = true;
    const bool taken = co_await sink_.drain();
    co_return taken;
}

void ReplyWriter::method_not_found(const json::Value& id) {
    rpc_types::write_error_response(sink_.out, id, rpc_types::kMethodNotFound, rpc_types::kMethodNotFoundMessage);
}

void ReplyWriter::parse_error() {
    sink_.out.resize(start_);
    sink_.out += parse_error_reply();
}

std::string param_error_result(std::string_view message) {
    std::string text = "{\"error\":";
    json::write_string(text, message);
    text += '}';
    return text;
}

const std::string& invalid_topic_result() {
    static const std::string text = param_error_result(rpc_types::kInvalidTopicError);
    return text;
}

void append_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

}  // namespace quillfern::dispatch::detail
