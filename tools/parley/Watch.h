// `parley watch USER CHAT [--json]`: the chat's changes as they happen.
#pragma once

#include <string>
#include <vector>

#include "Cli.h"

namespace parley::cli {

// Subscribes `args[0]` to `args[1]` and prints one line per pushed event
// (JSON lines with --json, given globally or among `args`) until SIGINT,
// SIGTERM or SIGHUP (exit 0) or until the connection fails (exit 3). Exit 1
// when the server refuses the subscription.
int RunWatch(Session& session, const std::vector<std::string>& args);

}  // namespace parley::cli
