// `parley stats`: the server's figures from its metrics endpoint, for a
// person (grouped tables) or, with --json, as one JSON object.
#pragma once

#include <string>
#include <vector>

#include "Cli.h"

namespace parley::cli {

// Where `parley stats` looks without --metrics: the metrics port the
// documentation suggests (parleyd --metrics-port 9464), on this machine.
inline constexpr char kDefaultMetricsAddress[] = "127.0.0.1:9464";

// args: [--metrics HOST:PORT] [--json]
int RunStats(Session& session, const std::vector<std::string>& args);

}  // namespace parley::cli
