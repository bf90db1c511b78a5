#!/usr/bin/env bash
# Runs the tcltest files given as arguments inside the real qsnclient,
# against peers this script starts on 127.0.0.1 and stops by pid: qsnserver
# with the test application app.tcl over HTTP, over HTTPS with a
# self-signed certificate and over HTTPS with one signed by a test CA (all
# made here), and two tinyproxies with their own configuration, one of them
# asking for credentials.
# Each test file sees `peer(http)`, `peer(https)`, `peer(proxy)`,
# `peer(authproxy)`, `peer(refused)`, `peer(dir)` (its working directory),
# and `peer(server)` with `peer(app)` to start servers of its own; and for
# the session's options `peer(httpsca)` (the CA-signed server),
# `peer(cacert)` (the CA), `peer(pins)` (the self-signed server's pin, once
# from each of SECURITY.md's one-liners), `peer(pubkey)` (its public key
# file), `peer(otherpin)` (the CA-signed server's pin) and
# `peer(proxyuser)` (the credentials the second proxy takes).
#
# QSNWRAP runs the host under a tool (valgrind; wine for the Windows host).
# QSNTLSHOST names the HTTPS server in its certificate and URL (default
# 127.0.0.1; Windows' TLS matches host names only, so localhost there).
# QSNLIB, when set, is linked into each working directory as lib (the
# Windows host's script libraries, which it finds only there).
# QSNHOSTLIMIT is how many seconds one test file's host may run (default
# 240, under the test's own limit): a host that hangs fails its file with
# status 124, and the end of its log is shown.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/loopback.sh"
QSNCLIENT=${QSNCLIENT:?} QSNPACK=${QSNPACK:?} QSNSERVER=${QSNSERVER:?}
tls_host=${QSNTLSHOST:-127.0.0.1}

scratch=$(mktemp -d /tmp/qsnscript.XXXXXX)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap stop_all EXIT

# start_server NAME ARGS...: starts qsnserver, waits for its first line and
# sets `started_url` to the URL it gives. Not to be run in a subshell: the
# pid must reach stop_all.
start_server() {
  local name=$1
  shift
  local out="$scratch/$name.out"
  "$QSNSERVER" --listen 127.0.0.1:0 "$@" "$here/app.tcl" >"$out" 2>"$scratch/$name.err" &
  pids+=($!)
  started_url=$(server_url "$out" "$!") && return 0
  echo "qsnserver $name did not start:" >&2
  cat "$scratch/$name.err" >&2
  return 1
}

start_server http || exit 1
http_url=$started_url
if [[ $tls_host =~ ^[0-9.]+$ ]]; then san=IP:$tls_host; else san=DNS:$tls_host; fi
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=$tls_host" -days 1 \
  -addext "subjectAltName=$san" \
  -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null || exit 1
start_server https --tls-cert "$scratch/cert.pem" --tls-key "$scratch/key.pem" || exit 1
https_url=${started_url/127.0.0.1/$tls_host}
https_port=${https_url##*:}
https_port=${https_port%%/*}

# A test CA, and a server certificate it signs for the same name.
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=qsnclient test CA" -days 2 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$scratch/ca.key" -out "$scratch/ca.pem" 2>/dev/null || exit 1
openssl req -newkey rsa:2048 -nodes -subj "/CN=$tls_host" \
  -keyout "$scratch/signed.key" -out "$scratch/signed.csr" 2>/dev/null || exit 1
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$san" >"$scratch/signed.ext"
openssl x509 -req -in "$scratch/signed.csr" -CA "$scratch/ca.pem" -CAkey "$scratch/ca.key" \
  -CAcreateserial -days 1 -extfile "$scratch/signed.ext" -out "$scratch/signed.pem" \
  2>/dev/null || exit 1
start_server httpsca --tls-cert "$scratch/signed.pem" --tls-key "$scratch/signed.key" || exit 1
httpsca_url=${started_url/127.0.0.1/$tls_host}
httpsca_port=${httpsca_url##*:}
httpsca_port=${httpsca_port%%/*}

# The pin of the self-signed server, from each one-liner SECURITY.md gives
# (the block after a "<!-- run: pin -->" line), with its placeholders for
# this server: so the documentation cannot show a command that does not work.
pin_of() {
  local certificate=$1 port=$2 command
  awk '/^<!-- run: pin -->$/ { getline; inside = 1; next }
       /^```$/ { inside = 0 } inside' "$here/../../SECURITY.md" |
    while IFS= read -r command; do
      command=${command//server.pem/$certificate}
      command=${command//server.example:443/$tls_host:$port}
      command=${command//server.example/$tls_host}
      bash -c "$command"
    done
}
pins=$(pin_of "$scratch/cert.pem" "$https_port" | tr '\n' ' ')
otherpin=$(pin_of "$scratch/signed.pem" "$httpsca_port" | head -n 1)
openssl pkey -in "$scratch/key.pem" -pubout -out "$scratch/pubkey.pem" || exit 1

proxy_port=$(free_port)
cat >"$scratch/tinyproxy.conf" <<CONF
Port $proxy_port
Listen 127.0.0.1
Timeout 60
MaxClients 20
Allow 127.0.0.1
LogFile "$scratch/tinyproxy.log"
LogLevel Info
ViaProxyName "testproxy"
CONF
tinyproxy -d -c "$scratch/tinyproxy.conf" >/dev/null 2>&1 &
pids+=($!)
# The same, asking for credentials.
auth_proxy_port=$(free_port)
sed -e "s/^Port .*/Port $auth_proxy_port/" -e "s|tinyproxy.log|authproxy.log|" \
  "$scratch/tinyproxy.conf" >"$scratch/authproxy.conf"
echo "BasicAuth tester s3cret" >>"$scratch/authproxy.conf"
tinyproxy -d -c "$scratch/authproxy.conf" >/dev/null 2>&1 &
pids+=($!)
for port in "$proxy_port" "$auth_proxy_port"; do
  for _ in $(seq 100); do
    (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
done

# faults-5.1 opens over a thousand files: a soft limit of 1024 is raised
# where the hard limit allows it.
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt 2048 ]; then
  ulimit -n 2048 2>/dev/null || true
fi

status=0
for test_file in "$@"; do
  name=$(basename "$test_file" .test)
  dir="$scratch/$name"
  mkdir -p "$dir"
  [ -z "${QSNLIB:-}" ] || ln -sfn "$QSNLIB" "$dir/lib"
  cat >"$dir/driver.tcl" <<TCL
package require tcltest
namespace import ::tcltest::*
array set peer [list http $http_url https $https_url \
    proxy http://127.0.0.1:$proxy_port refused http://127.0.0.1:$(free_port)/ \
    dir [pwd] proxylog $scratch/tinyproxy.log \
    server $QSNSERVER app $here/app.tcl \
    authproxy http://127.0.0.1:$auth_proxy_port proxyuser tester:s3cret \
    httpsca $httpsca_url cacert $scratch/ca.pem pins [list $pins] \
    pubkey $scratch/pubkey.pem otherpin [list $otherpin]]
source -encoding utf-8 $here/helpers.tcl
if {[catch {source -encoding utf-8 $test_file}]} {
    puts stderr \$::errorInfo
    exit 2
}
# cleanupTests resets the counts it prints; and where Tk is loaded (the
# Windows host, whose Tk needs no display) it ends the process with status 0
# unless the run counts as interactive, which would pass every failure off
# as success.
set status [expr {\$::tcltest::numTests(Failed) > 0 || \$::tcltest::numTests(Total) == 0}]
testConstraint interactive 1
cleanupTests
exit \$status
TCL
  "$QSNPACK" pack "$dir/driver.tcl" "$dir/init.dat" || exit 1
  echo "== $name"
  # QSNWRAP is a command and its options, split into words on purpose.
  if ! (cd "$dir" && env -u DISPLAY timeout "${QSNHOSTLIMIT:-240}" ${QSNWRAP:-} "$QSNCLIENT"); then
    status=1
    echo "-- $name failed; the end of its log:"
    iconv -f CP866 -t UTF-8 "$dir/qsnclient.log" | tr -d '\r' | tail -n 40
  fi
done
exit $status
