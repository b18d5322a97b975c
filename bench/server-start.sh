# shellcheck shell=bash
# Sourced by the bench scripts that start parleyd themselves.

# server_args "ARGS" SCRATCH: sets the array SERVER_ARGS to the words of ARGS,
# the folder after each --data-dir replaced by SCRATCH, removed first, so that
# every start begins with an empty data directory.
server_args() {
  # shellcheck disable=SC2206 # the extra arguments are words on purpose
  SERVER_ARGS=($1)
  local i
  for i in "${!SERVER_ARGS[@]}"; do
    if [ "${SERVER_ARGS[$i]}" = --data-dir ]; then rm -rf "$2"; SERVER_ARGS[i+1]=$2; fi
  done
}

# listening_port ERRFILE SECONDS: prints the port that a server started with
# --port 0 names on its standard error ("listening on ADDR:PORT"), waiting up
# to SECONDS for it; prints nothing if it never comes.
listening_port() {
  local port="" _
  for _ in $(seq 1 $(($2 * 10))); do
    port=$(sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$1" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  echo "$port"
}
