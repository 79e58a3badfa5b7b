// Serving bytes a client sent through one of the connection entry points, over a real
// socket pair with a real store, and collecting what the client got and what was logged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillfern/connection.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/log.hpp"
#include "socket_pair.hpp"

namespace quillfern::server::testing {

using quillfern::testing::SocketPair;

inline std::string liveness(int id) { return "{\"id\":" + std::to_string(id) + ",\"method\":\"health.liveness\"}"; }
inline std::string alive(int id) {
    return "{\"id\":" + std::to_string(id) + ",\"jsonrpc\":\"2.0\",\"result\":{\"alive\":true}}\n";
}
inline const std::string kParseError =
    "{\"error\":{\"code\":-32700,\"message\":\"Parse error\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n";

inline const std::string kServerWarn = " WARN quillfern_server::server: ";
inline const std::string kServerInfo = " INFO quillfern_server::server: ";

inline std::shared_ptr<gossip::GossipStore> make_store() { return std::make_shared<gossip::GossipStore>("gate-test"); }

// How the client behaves once its bytes are sent.
enum class ClientThen : std::uint8_t {
    EndsInput,         // ends its stream and reads everything
    StopsReading,      // ends its stream and shuts its reading side
    ResetsConnection,  // closes with unread bytes: the server's next read fails
};

struct Served {
    std::string received;
    std::vector<std::string> events;
};

// Sends `input`, then serves the server side with `entry` (handle_connection or serve_negotiated).
template <class Entry>
Served serve_with(Entry entry, std::string_view input, ClientThen then = ClientThen::EndsInput) {
    SocketPair pair;
    pair.send(input);
    if (then == ClientThen::ResetsConnection) {
        pair.reset_by_client();
    } else {
        pair.end_input();
        if (then == ClientThen::StopsReading) pair.stop_reading();
    }
    log::testing::Capture capture;
    pair.run(entry(std::move(pair.server), make_store()));
    Served served;
    served.events = capture.events();
    if (then == ClientThen::EndsInput) served.received = pair.receive_all();
    return served;
}

}  // namespace quillfern::server::testing
