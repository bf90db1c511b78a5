# shellcheck shell=bash
# Sourced by the scripts that start servers of their own on 127.0.0.1.

# free_port: a port nothing listens on, bound and released by tclsh.
free_port() {
  echo 'set s [socket -server {} -myaddr 127.0.0.1 0]; puts [lindex [fconfigure $s -sockname] 2]; close $s' | tclsh
}

# server_url LOG [PID [TRIES]]: waits for the server whose standard output
# goes to LOG to announce itself ("listening on URL", its first line) and
# prints the URL. Gives up, with status 1, after TRIES looks 50 ms apart
# (100 by default), or as soon as the process PID, when given, has ended.
server_url() {
  local log=$1 pid=${2:-} tries=${3:-100} line i
  for ((i = 0; i < tries; i++)); do
    line=$(head -n 1 "$log" 2>/dev/null)
    if [[ $line == "listening on "* ]]; then
      echo "${line#listening on }"
      return 0
    fi
    [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
