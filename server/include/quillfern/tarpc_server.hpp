// The binary RPC service: QuillFernService over the tarpc wire protocol.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/runtime.hpp"
#include "quillfern/tarpc_service.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server {

// ---- The service's operations ---------------------------------------------------------------

// The value that implements QuillFernService on the shared store. Its only state is the
// store handle: copies are cheap and share the store. Every operation answers with a
// success reply; bad arguments are answered inside the reply's JSON text.
class QuillFernTarpcServer {
public:
    explicit QuillFernTarpcServer(std::shared_ptr<gossip::GossipStore> store) : store_(std::move(store)) {}

    // Runs the operation the request names and gives its reply, of the request's variant.
    // The context is passed on and consulted by no operation.
    tarpc_service::QuillFernServiceResponse serve(const tarpc_service::Context& context,
                                                  tarpc_service::QuillFernServiceRequest request) const;
    // The same, but a query's or a subscribe's reply (the ones that grow with the store) is
    // left unbuilt, its text empty, when it would be longer than `longest_text` bytes: it
    // is counted and never built.
    tarpc_service::QuillFernServiceResponse serve(const tarpc_service::Context& context,
                                                  tarpc_service::QuillFernServiceRequest request,
                                                  std::size_t longest_text) const;
    // Whether serve left the reply unbuilt (no reply of this service has an empty text).
    static bool left_unbuilt(const tarpc_service::QuillFernServiceResponse& reply) noexcept;

    bool health_liveness(const tarpc_service::Context& context) const;
    bool health_readiness(const tarpc_service::Context& context) const;
    tarpc_service::HealthReport health_check(const tarpc_service::Context& context) const;
    tarpc_service::CapabilityList capabilities_list(const tarpc_service::Context& context) const;
    std::string gossip_inject(const tarpc_service::Context& context, std::string_view topic, std::string key,
                              std::string_view payload) const;
    std::string gossip_query(const tarpc_service::Context& context, std::string_view topic,
                             std::optional<std::string_view> key_prefix) const;
    // None, and nothing built, when the text would be longer than `longest_text` bytes.
    std::optional<std::string> gossip_query(const tarpc_service::Context& context, std::string_view topic,
                                            std::optional<std::string_view> key_prefix, std::size_t longest_text) const;
    std::string gossip_status(const tarpc_service::Context& context) const;
    std::string gossip_peers(const tarpc_service::Context& context) const;
    std::string gossip_subscribe(const tarpc_service::Context& context, std::string_view topic,
                                 std::optional<std::string_view> key_prefix) const;
    std::optional<std::string> gossip_subscribe(const tarpc_service::Context& context, std::string_view topic,
                                                std::optional<std::string_view> key_prefix,
                                                std::size_t longest_text) const;

    const std::shared_ptr<gossip::GossipStore>& store() const noexcept { return store_; }

private:
    std::shared_ptr<gossip::GossipStore> store_;
};

// ---- The main socket's tarpc hand-off ---------------------------------------------------------

// A main-socket connection that negotiated tarpc: tarpc cannot be served on a single
// socket yet, so this logs a warning and closes the stream without reading or writing.
asio::awaitable<void> handle_tarpc_connection(transport::TransportStream stream);

// ---- One connection ------------------------------------------------------------------------

// Serves one accepted connection of the binary RPC socket until its request stream ends
// (the client closed its side and every request in flight is answered) or fails (one
// WARN "Requests stream errored out: ..."). Each request runs as a task of its own on the
// connection's thread; requests still in flight when it returns are aborted.
asio::awaitable<void> serve_connection(transport::TransportStream stream, QuillFernTarpcServer handler);

// ---- The socket ------------------------------------------------------------------------------

// A failed accept on the binary RPC socket is logged once per episode and always tried
// again: at once after an error of one connection or one call ("connection aborted",
// "interrupted", "would block"), after 100 ms after any other, so that a lasting failure
// does not spin.
inline constexpr server::AcceptRetry kAcceptRetry{
    .log_target = log::targets::kTarpcServer,
    .warning = "tarpc accept error: {}",
    .pause = std::chrono::milliseconds(100),
    .retry_lasting_errors = true,
    .at_once_for_one_call = true,
};

// Binds socket_dir()/quillfern[-family].tarpc.sock (directories created, a stale socket
// file removed), logs "tarpc listening on unix://<path>" and starts the accept loop on a
// worker, which runs for the life of the process.
asio::awaitable<Expected<void, IoError>> start_tarpc_listener(const std::optional<std::string>& family_id,
                                                              std::string_view service,
                                                              std::shared_ptr<gossip::GossipStore> store,
                                                              runtime::Runtime& rt);

}  // namespace quillfern::tarpc_server
