// One method call: what a method is given (its request's params text, the store and the
// reply it writes its result into), and how it reads its params with a reader of its own,
// straight from the text. A big request's params are read on the sink's offload.
//
// Every method reads its params, or drops them, before it acts: that is where they are
// checked, so a line with params that are not JSON is refused before anything happens.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <asio/awaitable.hpp>

#include "quillfern/dispatch.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "reply_writer.hpp"

namespace quillfern::dispatch::detail {

// Params that do not read as one JSON value: the request is answered as unreadable.
class UnreadableParams : public std::exception {
public:
    const char* what() const noexcept override { return "params that do not read as one JSON value"; }
};

class MethodCall {
public:
    // `params` as the envelope holds it; `params_budget` is what the line's memory budget
    // leaves for them; `offload` is set only for a big request with params.
    MethodCall(std::optional<std::string_view> params, std::size_t params_budget, gossip::GossipStore& store,
               ReplyWriter& reply, const Offload* offload) noexcept
        : params_(params), params_budget_(params_budget), store_(store), reply_(reply), offload_(offload) {}

    gossip::GossipStore& store() const noexcept { return store_; }
    ReplyWriter& reply() const noexcept { return reply_; }
    std::string& out() const noexcept { return reply_.out(); }

    // Whether the request is big and has params: they are read away from the caller's thread.
    bool big() const noexcept { return offload_ != nullptr; }

    // Reads the params with the method's reader, `reader` at the params value (nesting
    // level 1); T{} when the request has none. Only allocation failures throw (TooLarge
    // once the line's memory budget is used up), and UnreadableParams.
    template <class T>
    T read_params(T (*read)(json::Reader& reader)) const {
        if (!params_) return T{};
        json::Reader reader(*params_, params_budget_);
        T params = read(reader);
        if (reader.failed() || !reader.finish()) throw UnreadableParams();
        return params;
    }

    // The same, on the sink's offload when the request is big.
    template <class T>
    asio::awaitable<T> read_params_aside(T (*read)(json::Reader& reader)) const {
        if (!big()) co_return read_params(read);
        std::optional<T> params;
        co_await run_aside([&] { params.emplace(read_params(read)); });
        co_return std::move(*params);
    }

    // For a method that takes no params: whatever params the request has are read,
    // checked and dropped.
    void drop_params() const;
    asio::awaitable<void> drop_params_aside() const;

    // Runs `work`, which reads the params, on the sink's offload (for a big request only).
    asio::awaitable<void> run_aside(std::function<void()> work) const;

private:
    std::optional<std::string_view> params_;
    std::size_t params_budget_;
    gossip::GossipStore& store_;
    ReplyWriter& reply_;
    const Offload* offload_;
};

}  // namespace quillfern::dispatch::detail
