// How this gate makes itself known to its siblings: the announcement to the quorvel API
// and the registration with reedHorn. (The heartbeat entry it keeps in the store is the
// mesh's.) Every event is logged under the target "quillfern_server::announce".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/json.hpp"
#include "quillfern/sibling_client.hpp"

namespace quillfern::announce {

// The family whose quorvel API socket is looked for when no family id is given.
inline constexpr std::string_view kDefaultFamily = "tarnWendle";

// ---- Announcement to the quorvel API ---------------------------------------------------

// The socket path with every ".sock" replaced by ".tarpc.sock", left to right.
std::string tarpc_socket_of(std::string_view socket_path);

// The "wendle.announce" request line (compact JSON and one newline).
std::string wendle_announce_line(std::string_view service, std::string_view socket_path, std::uint16_t gossip_port,
                                 std::uint32_t pid);

// One "wendle.announce" exchange with the quorvel API, within the limits of every
// outgoing exchange; every outcome ends in one log event.
asio::awaitable<void> announce_to_quorvel(std::string service, std::string socket_path, std::string family,
                                          sibling_client::Limits limits = {});

// ---- Registration with reedHorn ------------------------------------------------------

// The "ipc.register" request line (compact JSON and one newline).
std::string ipc_register_line(std::string_view service, const json::Value& endpoint);

// The registration task of a Unix-domain main socket: the announcement to the quorvel
// API, then one "ipc.register" exchange with reedHorn, each within `limits`. Never
// fails; every outcome is logged.
asio::awaitable<void> register_with_reedhorn(std::string service, std::string socket_path, std::string family,
                                             std::string service_again, json::Value endpoint,
                                             sibling_client::Limits limits = {});

}  // namespace quillfern::announce
