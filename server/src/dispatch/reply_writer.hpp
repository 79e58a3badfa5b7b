// The reply of one request as dispatch writes it into its sink: the success envelope
// around a result the method writes straight into the sink's text (its keys come in a
// fixed order, "id", "jsonrpc", "result", so the result can follow the prefix at once),
// handed on in chunks while a long result is written; or one of the two error replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/dispatch.hpp"
#include "quillfern/json.hpp"

namespace quillfern::dispatch::detail {

class ReplyWriter {
public:
    // The reply goes after whatever `sink.out` already holds.
    explicit ReplyWriter(ReplySink& sink) noexcept : sink_(sink), start_(sink.out.size()) {}

    std::string& out() noexcept { return sink_.out; }
    // Whether the connection the reply goes to has ended on its peer's side (unset: never).
    const std::function<transport::PeerEnd()>& peer_end() const noexcept { return sink_.peer_end; }
    // True when part of this reply has already left the text.
    bool drained() const noexcept { return drained_; }

    // {"id":<id>,"jsonrpc":"2.0","result": — the method's result follows.
    void begin_success(const json::Value& id);
    // The success envelope's closing brace, after the result.
    void end_success() { sink_.out += '}'; }
    // Hands the text on once it holds a chunk or more. False when the sink could not take
    // it: the reply is given up.
    asio::awaitable<bool> chunk_done();

    // The "Method not found" error reply, with the request's id.
    void method_not_found(const json::Value& id);
    // Whatever this reply wrote is replaced with the "Parse error" reply (id null).
    void parse_error();

private:
    ReplySink& sink_;
    std::size_t start_;
    bool drained_ = false;
};

// A parameter error as a method's result: {"error":<message>}.
std::string param_error_result(std::string_view message);
// The one parameter error of more than one method, rendered once.
const std::string& invalid_topic_result();

void append_bool(std::string& out, bool b);

}  // namespace quillfern::dispatch::detail
