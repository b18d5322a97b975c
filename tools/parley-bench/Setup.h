// The untimed set-up phase of parley-bench: one blocking connection that
// registers the users, creates the chats, joins every user to the send chat,
// stores the messages that fetch and list read, and learns their ids.
#pragma once

#include <string>

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

}  // namespace parley::bench
