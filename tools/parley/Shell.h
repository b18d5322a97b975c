// The interactive shell that `parley` starts when given no command.
#pragma once

#include "Cli.h"

namespace parley::cli {

// Reads command lines and runs them on one session until `quit`, `exit`,
// Ctrl-D or end of input. On a terminal it offers line editing, a history
// kept in ~/.parley_history and Tab completion of command names; otherwise it
// reads plain lines (for scripts). Words may be quoted as in a Unix shell.
// Returns the exit status of the last command run (0 if none).
int RunShell(Session& session);

}  // namespace parley::cli
