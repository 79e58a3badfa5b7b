// The success envelope built whole, as one text. The server never needs it: a method
// writes its result straight into the reply after write_success_prefix. The envelope's
// tests build it this way to check the two agree.
#pragma once

#include <string>

#include "quillfern/json.hpp"

namespace quillfern::rpc_types {

// {"id":id,"jsonrpc":"2.0","result":result} as compact text, without a line end.
std::string jsonrpc_success_response(const json::Value& id, const json::Value& result);

}  // namespace quillfern::rpc_types
