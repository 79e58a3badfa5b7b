#include "call.hpp"

#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

struct NoParams {};

NoParams read_no_params(json::Reader& reader) {
    rpc_types::drop_value(reader, 1);
    return {};
}

}  // namespace

void MethodCall::drop_params() const { static_cast<void>(read_params(read_no_params)); }

asio::awaitable<void> MethodCall::drop_params_aside() const {
    static_cast<void>(co_await read_params_aside(read_no_params));
}

asio::awaitable<void> MethodCall::run_aside(std::function<void()> work) const {
    co_await (*offload_)(params_ ? params_->size() : 0, std::move(work));
}

}  // namespace quillfern::dispatch::detail
