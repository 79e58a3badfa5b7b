#include <string>

#include "quillfern/protocol_negotiation.hpp"
#include "quillfern/text.hpp"

namespace quillfern::protocol_negotiation {

std::optional<IpcProtocol> IpcProtocol::parse(std::string_view name) {
    const std::string_view trimmed = text::trim(name);
    if (trimmed.empty()) return std::nullopt;
    const std::string folded = text::ascii_lowercase(trimmed);
    if (folded == "jsonrpc" || folded == "json-rpc" || folded == "json_rpc") return IpcProtocol::JsonRpc;
    if (folded == "tarpc" || folded == "binary") return IpcProtocol::Tarpc;
    return std::nullopt;
}

}  // namespace quillfern::protocol_negotiation
