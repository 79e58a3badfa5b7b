// The task of one binary RPC connection.
#include "channel.hpp"

namespace quillfern::tarpc_server {

asio::awaitable<void> serve_connection(transport::TransportStream stream, QuillFernTarpcServer handler) {
    auto channel = std::make_shared<detail::Channel>(std::move(stream), std::move(handler));
    co_await channel->run();
}

}  // namespace quillfern::tarpc_server
