// Start-up: from the parsed command line to a serving gate.
#pragma once

#include <string>

#include <asio/awaitable.hpp>

#include "quillfern/cli.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern {

// Builds and starts the store, starts the background tasks, opens the binary RPC socket
// in legacy dual-socket mode, and serves the main socket until shutdown. The error is the
// message the process prints after "Error: ".
asio::awaitable<Expected<void, std::string>> run(cli::Cli cli, runtime::Runtime& rt);

}  // namespace quillfern
