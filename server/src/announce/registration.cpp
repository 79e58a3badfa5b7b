// The registration task: the announcement to the quorvel API, then "ipc.register" with
// reedHorn.
#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"

namespace quillfern::announce {

asio::awaitable<void> announce_to_quorvel(std::string, std::string, std::string) { co_return; }

asio::awaitable<void> register_with_reedhorn(std::string service, std::string socket_path, std::string family,
                                             std::string service_again, json::Value endpoint) {
    (void)service, (void)socket_path, (void)family, (void)service_again, (void)endpoint;
    co_return;
}

}  // namespace quillfern::announce
