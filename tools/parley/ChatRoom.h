// `parley chat USER CHAT`: a live chat room in the terminal.
#pragma once

#include <string>

#include "Cli.h"

namespace parley::cli {

// Joins `chat` as `user` (creating the chat when it does not exist), shows
// the newest messages, then polls the chat about twice a second and shows
// what is new, edited or deleted, while the user types messages and /commands
// on a readline prompt. Returns the exit status: 0 when the user leaves,
// 1 when the server refuses to let the user in, 3 when the connection fails.
int RunChat(Session& session, const std::string& user, const std::string& chat);

}  // namespace parley::cli
