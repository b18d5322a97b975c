// `parley chat USER CHAT`: a live chat room in the terminal.
#pragma once

#include <string>

#include "Cli.h"

namespace parley::cli {

// Joins `chat` as `user` (creating the chat when it does not exist),
// subscribes to it, shows the newest messages, then shows what the server
// pushes (new messages, edits, deletions) while the user types messages and
// /commands on a readline prompt. A broken connection is reopened with
// backoff and the room catches up. Returns the exit status: 0 when the user
// leaves, 1 when the server refuses to let the user in, 3 when the server
// cannot be reached at the start.
int RunChat(Session& session, const std::string& user, const std::string& chat);

}  // namespace parley::cli
