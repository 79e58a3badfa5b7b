// Serving bytes a client sent through one of the connection entry points, over a real
// socket pair with a real store, and collecting what the client got and what was logged.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "connection_detail.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/log.hpp"
#include "socket_pair.hpp"
#include "started_store.hpp"

namespace quillfern::server::testing {

using quillfern::testing::SocketPair;
// The line loop on its own, without a road into it.
using detail::serve_jsonrpc_lines;

inline std::string liveness(int id) { return "{\"id\":" + std::to_string(id) + ",\"method\":\"health.liveness\"}"; }
inline std::string alive(int id) {
    return "{\"id\":" + std::to_string(id) + ",\"jsonrpc\":\"2.0\",\"result\":{\"alive\":true}}\n";
}
inline const std::string kParseError =
    "{\"error\":{\"code\":-32700,\"message\":\"Parse error\"},\"id\":null,\"jsonrpc\":\"2.0\"}\n";

inline const std::string kServerWarn = " WARN quillfern_server::server: ";
inline const std::string kServerInfo = " INFO quillfern_server::server: ";

inline std::shared_ptr<gossip::GossipStore> make_store() { return std::make_shared<gossip::GossipStore>("gate-test"); }
// The same, started: the store an injecting request needs.
inline std::shared_ptr<gossip::GossipStore> started_store() {
    return ::quillfern::testing::make_started_store("gate-test");
}

// How the client behaves once its bytes are sent.
enum class ClientThen : std::uint8_t {
    EndsInput,         // ends its stream and reads everything
    StopsReading,      // ends its stream and shuts its reading side
    ResetsConnection,  // closes with unread bytes: the server's next read fails
};

// One case of a table: what the client sends, and what it gets and the server logs.
struct Case {
    const char* what;
    std::string input;
    std::string received;
    std::vector<std::string> events;
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
