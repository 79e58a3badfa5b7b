#include <utility>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/tarpc_server.hpp"

namespace quillfern::tarpc_server {

asio::awaitable<void> handle_tarpc_connection(transport::TransportStream stream) {
    const transport::TransportStream owned = std::move(stream);  // closed when this returns
    QF_LOG(log::Level::Warn, log::targets::kTarpcServer,
           "G65 tarpc negotiated but single-socket transport not yet supported by tarpc 0.37");
    co_return;
}

}  // namespace quillfern::tarpc_server
