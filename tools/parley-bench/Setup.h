// The untimed set-up phase of parley-bench: one blocking connection that
// registers the users, creates the chats, joins every user to the send chat,
// stores the messages that fetch and list read, and learns their ids.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Options.h"
#include "Socket.h"
#include "Workload.h"

namespace parley::bench {

// Fills in the names of `fx` for `clients` connections: a random per-run
// prefix, one user per client, the send chat and the list chat, and the body.
// No I/O besides reading the random source.
void NameFixture(Fixture& fx, int clients, size_t body_bytes);

// Why BuildFixture failed.
enum class SetupError { kNone, kUnreachable, kBadReply };

// Creates on the server everything `fx` names and records the list chat's ids
// (then calls FinishFixture). Every reply must be "ok". On failure returns the
// kind of failure and sets `err`.
SetupError BuildFixture(const Address& address, Fixture& fx, std::string& err);

// A fresh prefix for the names of one run: "pb", ten hex digits, "_".
std::string RandomPrefix();

// One set-up request: its type code and its frame.
using SetupRequest = std::pair<uint64_t, std::string>;

// Writes `reqs` over one new connection, in batches, and insists on an "ok"
// for each (requests whose "ok" brings a data frame do not belong here).
SetupError RunSetup(const Address& address, const std::vector<SetupRequest>& reqs, std::string& err);

}  // namespace parley::bench
