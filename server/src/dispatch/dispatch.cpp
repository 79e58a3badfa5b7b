// Answering one request line: its envelope read, its method found by its exact name, the
// method's result written inside the success envelope, and every fault turned into the
// reply it calls for. A big request is read (and taken apart) through the sink's offload.
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "envelope.hpp"
#include "methods.hpp"
#include "quillfern/dispatch.hpp"
#include "reply_writer.hpp"

namespace quillfern::dispatch {

using detail::Envelope;
using detail::Method;
using detail::MethodCall;
using detail::ReplyWriter;

asio::awaitable<bool> append_reply(ReplySink& sink, std::string_view line,
                                   const std::shared_ptr<gossip::GossipStore>& store) {
    ReplyWriter reply(sink);
    try {
        const bool big = sink.offload && line.size() > kOffloadLineBytes;
        // A peer's batch or a local inject in its plain form is read in one pass, its params
        // in place; any other line, or one the plain reading declines, is read by its envelope.
        if (std::optional<detail::PlainRequest> plain = detail::PlainRequest::open(line)) {
            if (plain->method() == "gossip.spread") {
                const std::optional<bool> answered =
                    co_await detail::gossip_spread_plain(*plain, *store, reply, big ? &sink.offload : nullptr);
                if (answered) co_return *answered;
            } else if (plain->method() == "gossip.inject" && !big) {
                if (detail::gossip_inject_plain(*plain, *store, reply)) co_return true;
            }
        }
        std::optional<Envelope> envelope;
        if (big) {
            co_await sink.offload(line.size(), [&] { envelope = detail::read_envelope(line); });
        } else {
            envelope = detail::read_envelope(line);
        }
        if (!envelope) {
            reply.parse_error();
            co_return true;
        }
        // A big request's params are read on the offload; a method answered at once then
        // runs there whole.
        MethodCall call(envelope->params, json::kMaxBuildBytes - envelope->built_bytes, *store, reply,
                        big && envelope->params ? &sink.offload : nullptr);
        const Method* method = detail::find_method(envelope->method);
        if (method == nullptr) {
            co_await call.drop_params_aside();
            reply.method_not_found(envelope->id);
            co_return true;
        }
        reply.begin_success(envelope->id);
        // The id is written: nothing of the envelope is of further use. A big id takes
        // long to take apart, too.
        if (big) {
            co_await sink.offload(0, [&] { envelope.reset(); });
        } else {
            envelope.reset();
        }
        if (const auto* now = std::get_if<detail::AnswerNow>(&method->answer)) {
            if (call.big()) {
                co_await call.run_aside([&] { (*now)(call); });
            } else {
                (*now)(call);
            }
        } else if (!co_await std::get<detail::AnswerLater>(method->answer)(call)) {
            co_return false;
        }
        reply.end_success();
        co_return true;
    } catch (const std::bad_alloc&) {
        // Lack of memory (or a request that would need too much) ends the connection; it
        // is never passed off as a parse error.
        throw;
    } catch (...) {
        // Whatever a library throws on odd input is answered like input that can't be read,
        // unless part of the reply has left already.
        if (reply.drained()) throw;
    }
    reply.parse_error();
    co_return true;
}

asio::awaitable<void> append_reply(std::string& out, std::string_view line,
                                   const std::shared_ptr<gossip::GossipStore>& store) {
    ReplySink sink{out, {}, {}};
    co_await append_reply(sink, line, store);
}

asio::awaitable<std::string> handle_request(std::string_view line, const std::shared_ptr<gossip::GossipStore>& store) {
    std::string reply;
    co_await append_reply(reply, line, store);
    co_return reply;
}

}  // namespace quillfern::dispatch
