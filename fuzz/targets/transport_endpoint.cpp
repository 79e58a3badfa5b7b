// The transport endpoint's JSON text: an endpoint that was read writes back to a text that
// reads to the same endpoint; only valid JSON is ever accepted; every refusal has a message.
#include "fuzz_target.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::fuzz {

void transport_endpoint(Bytes input) {
    const std::string_view text = as_text(input);
    auto endpoint = transport::TransportEndpoint::from_json_text(text);
    if (!endpoint) {
        require(!endpoint.error().message.empty(), "refusal without a message", text);
        require(endpoint.error().line >= 1, "refusal without a line", endpoint.error().to_string());
        return;
    }
    require(json::parse(text).has_value(), "an endpoint read from text that is not JSON", text);

    const std::string written = json::to_string(endpoint->to_json());
    auto reread = transport::TransportEndpoint::from_json_text(written);
    require(reread.has_value(), "a written endpoint does not read back", written);
    require(*reread == *endpoint, "a written endpoint reads back to another one", written);
}

}  // namespace quillfern::fuzz
