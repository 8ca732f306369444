#!/usr/bin/env bash
# A short tour of KivTrans2 through the kivtrans2 tool, on this machine only:
# servers, a search, requests by priority, a notification, a script as a
# server, and an exchange through a directory. Finishes by itself.
#
#   examples/demo.sh BUILD_DIR     (./run demo builds, then calls this)
set -euo pipefail

BUILD=${1:?usage: examples/demo.sh BUILD_DIR}
TOOL="$BUILD/tools/kivtrans2/kivtrans2"
if [ ! -x "$TOOL" ]; then
  echo "demo: $TOOL is not built" >&2
  exit 1
fi
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kivtrans2-demo.XXXXXX")
SERVERS=()
cleanup() {
  for pid in "${SERVERS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Discovery stays on loopback whatever network the machine has.
kivtrans2() { "$TOOL" "$1" --broadcast 127.255.255.255 "${@:2}"; }

say() { printf '\n== %s\n' "$*"; }
# A command line the way one would type it.
command_line() {
  local line="$" word
  for word in "$@"; do
    if [[ $word =~ ^[A-Za-z0-9_./:=@%+-]+$ ]]; then
      line+=" $word"
    else
      line+=" '${word//\'/\'\\\'\'}'"
    fi
  done
  printf '%s' "$line"
}
# Prints a command, then runs it.
show() {
  printf '%s\n' "$(command_line "$@")"
  "$@"
}
# Prints the lines of a server's log that match a pattern, indented.
log_of() { grep -E "$2" "$WORK/$1.log" | sed 's/^/    /' || true; }
# Waits up to 10 s for a line matching a pattern in a server's log.
wait_for_log() {
  for _ in $(seq 200); do
    grep -qE "$2" "$WORK/$1.log" && return 0
    sleep 0.05
  done
  echo "demo: server $1 did not log '$2'" >&2
  cat "$WORK/$1.log" >&2
  exit 1
}

# start_server NAME ARGS...: runs `kivtrans2 serve ARGS` in the background on a
# free port (PORT; ARGS may use {PORT}), its stdout in $WORK/NAME.out and its
# log in $WORK/NAME.log, and waits for its "ready". A start takes as long as
# the check for a twin server: 200 ms here (--seek-timeout).
start_server() {
  local name=$1 pid status arg args
  shift
  for _ in $(seq 20); do
    PORT=$((20000 + RANDOM % 40000))
    args=()
    for arg in "$@"; do args+=("${arg//\{PORT\}/$PORT}"); done
    # Started directly (not through the function) so that $! is the server.
    "$TOOL" serve --broadcast 127.255.255.255 "${args[@]}" >"$WORK/$name.out" 2>"$WORK/$name.log" &
    pid=$!
    for _ in $(seq 200); do
      if grep -q '^ready$' "$WORK/$name.out"; then
        SERVERS+=("$pid")
        eval "${name}_PID=$pid"
        printf '%s &\n' "$(command_line kivtrans2 serve "${args[@]}")"
        cat "$WORK/$name.out"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    status=0
    wait "$pid" || status=$?
    # Port taken by something else on this machine: try another one.
    if [ "$status" -ne 1 ] || ! grep -q "already in use" "$WORK/$name.log"; then
      echo "demo: the server did not start (status $status):" >&2
      cat "$WORK/$name.log" >&2
      exit 1
    fi
  done
  echo "demo: found no free port" >&2
  exit 1
}
echo "KivTrans2 demo: every server and client below is a kivtrans2 process on"
echo "this machine (each command also gets --broadcast 127.255.255.255)."

say "1. A server that echoes every request, found by its key"
start_server echo --port '{PORT}' --key demo --seek-timeout 200
ECHO_PORT=$PORT
show kivtrans2 seek --port "$ECHO_PORT" --key demo --timeout 300

say "2. A request and its answer"
show kivtrans2 request --port "$ECHO_PORT" hello "second line"
echo "server log:"
log_of echo '^served'

say "3. A notification (one-way, over UDP)"
show kivtrans2 notify --port "$ECHO_PORT" "cache cleared"
wait_for_log echo '^notification'
echo "server log:"
log_of echo '^notification'

say "4. Failures have their own exit status"
status=0
show kivtrans2 serve --port "$ECHO_PORT" --key demo --seek-timeout 200 2>&1 || status=$?
echo "(exit status $status: another server with this key runs here)"
[ "$status" -eq 3 ]
status=0
show kivtrans2 request --port "$((ECHO_PORT == 65535 ? 65534 : ECHO_PORT + 1))" hello 2>&1 || status=$?
echo "(exit status $status: nothing listens there)"
[ "$status" -eq 5 ]

say "5. Any command as a server; requests served most urgent first"
start_server upper --port '{PORT}' --key upper --seek-timeout 200 --exec 'sleep 0.5; tr a-z A-Z'
UPPER_PORT=$PORT
echo "While it works on a first request, three more arrive, of priority 3, 2 and 1:"
background() {
  local out=$1
  shift
  printf '%s &\n' "$(command_line "$@")"
  "$@" >"$out" &
}
background "$WORK/first.out" kivtrans2 request --port "$UPPER_PORT" "first request"
FIRST=$!
sleep 0.2
REQUESTS=()
for p in 3 2 1; do
  background "$WORK/p$p.out" kivtrans2 request --port "$UPPER_PORT" --priority "$p" "priority $p"
  REQUESTS+=($!)
done
wait "$FIRST" "${REQUESTS[@]}"
echo "Answers:"
cat "$WORK/first.out" "$WORK/p3.out" "$WORK/p2.out" "$WORK/p1.out" | sed 's/^/    /'
echo "server log, in the order served:"
log_of upper '^served'
ORDER=$(grep '^served' "$WORK/upper.log" | sed 's/.*priority=\([0-9]\).*/\1/' | tr -d '\n')
if [ "$ORDER" != "1123" ]; then
  echo "demo: served in the order $ORDER, not 1123" >&2
  exit 1
fi

say "6. The same exchange through a shared directory (FS mode)"
mkdir "$WORK/shared"
start_server files --dir "$WORK/shared"
echo "The directory holds the server's marker file:"
show ls "$WORK/shared"
show kivtrans2 request --dir "$WORK/shared" "over files"

say "7. SIGINT stops the servers once they have answered what was queued"
for name in echo upper files; do
  pid_var="${name}_PID"
  kill -INT "${!pid_var}"
  status=0
  wait "${!pid_var}" || status=$?
  echo "$name server: exit status $status, last log line: $(tail -1 "$WORK/$name.log")"
  [ "$status" -eq 0 ]
done
SERVERS=()

printf '\nDone.\n'
