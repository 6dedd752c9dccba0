#!/usr/bin/env bash
# GET_VERSION over keep-alive on the plain port: the service against a bare
# evhttp server (bench/bare_evhttp.cpp) that returns the same bytes, side by
# side in one run with wrk (alternating rounds; the best round of each counts,
# so that other load on the machine hits both alike). Prints requests/s, p50
# and p99 of each and the ratio service/bare (target: at least 0.95). The
# service's loops fold their epoll changes (the changelist); the bare server
# runs twice, as it comes and with the same setting, so that the second
# ratio shows what the service's own work costs.
# Usage: bench/http_bench.sh [build dir] [seconds per round] [connections] [rounds]
#        bench/http_bench.sh --smoke [build dir]   (one short round: CI's check that it still works)
set -euo pipefail
if [[ ${1:-} == --smoke ]]; then
  shift
  set -- "${1:-build}" 1 2 1
fi
BUILD=$(cd "${1:-build}" && pwd)
SECONDS_EACH=${2:-10}
CONNECTIONS=${3:-16}
ROUNDS=${4:-3}
BARE="$BUILD/bench/bare_evhttp"
for need in "$BUILD/bin/ZelkorH" "$BARE"; do
  [[ -x "$need" ]] || { echo "missing $need: cmake --build $BUILD --target ZelkorH bare_evhttp" >&2; exit 1; }
done
command -v wrk >/dev/null || { echo "wrk is not installed (apt-get install wrk)" >&2; exit 1; }

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 1 600); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on $1" >&2; exit 1
}

# The service in a program folder of its own, plain port only, no log.
SVC_PORT=$(free_port)
cp -r "$BUILD/bin" "$WORK/bin"
mkdir -p "$WORK/home" "$WORK/run"
printf '[common]\nPort=%s\nPortS=0\nLog=0\n' "$SVC_PORT" > "$WORK/bin/ZelkorH.my"
HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run" "$WORK/bin/ZelkorH" 2>"$WORK/service.err" &
PIDS+=($!)
wait_port "$SVC_PORT"

# The page's form: data (percent-encoded Base64 of the request), native, plain answer.
XML='<?xml version="1.0" encoding="utf-8"?><Request><Command>GET_VERSION</Command></Request>'
B64=$(printf '%s' "$XML" | base64 -w0 | sed 's/+/%2B/g; s#/#%2F#g; s/=/%3D/g')
BODY="data=$B64&nativedata=1&encodeOutput=0"
cat > "$WORK/post.lua" <<LUA
wrk.method = "POST"
wrk.body = "$BODY"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
LUA

curl -s -o "$WORK/answer.xml" --data "$BODY" "http://127.0.0.1:$SVC_PORT/"
grep -q '<Code>0</Code>' "$WORK/answer.xml" || { echo "GET_VERSION failed: $(cat "$WORK/answer.xml")" >&2; exit 1; }

BARE_PORT=$(free_port)
"$BARE" "$BARE_PORT" "$WORK/answer.xml" &
PIDS+=($!)
wait_port "$BARE_PORT"
cmp -s <(curl -s --data "$BODY" "http://127.0.0.1:$BARE_PORT/") "$WORK/answer.xml" || { echo "bare server answers differently" >&2; exit 1; }
LIKE_PORT=$(free_port)
"$BARE" "$LIKE_PORT" "$WORK/answer.xml" --changelist &
PIDS+=($!)
wait_port "$LIKE_PORT"

run_wrk() {  # port -> "rps p50 p99"
  wrk -t2 -c"$CONNECTIONS" -d"${SECONDS_EACH}s" --latency -s "$WORK/post.lua" "http://127.0.0.1:$1/" > "$WORK/wrk.$1"
  awk '/Requests\/sec:/ {rps=$2} /^ +50%/ {p50=$2} /^ +99%/ {p99=$2} END {print rps, p50, p99}' "$WORK/wrk.$1"
}
# Warm them up, then measure: the best round of each counts.
declare -A RPS P50 P99
for port in "$SVC_PORT" "$BARE_PORT" "$LIKE_PORT"; do
  wrk -t1 -c4 -d1s -s "$WORK/post.lua" "http://127.0.0.1:$port/" >/dev/null
  RPS[$port]=0
done
for _ in $(seq 1 "$ROUNDS"); do
  for port in "$SVC_PORT" "$BARE_PORT" "$LIKE_PORT"; do
    read -r rps p50 p99 < <(run_wrk "$port")
    if awk -v a="$rps" -v b="${RPS[$port]}" 'BEGIN {exit !(a > b)}'; then RPS[$port]=$rps; P50[$port]=$p50; P99[$port]=$p99; fi
  done
done

printf '\nGET_VERSION, keep-alive, %s connections, best of %s rounds of %ss, answer %s bytes\n' "$CONNECTIONS" "$ROUNDS" "$SECONDS_EACH" "$(stat -c %s "$WORK/answer.xml")"
printf '%-24s %12s %10s %10s\n' server requests/s p50 p99
row() { printf '%-24s %12s %10s %10s\n' "$1" "${RPS[$2]}" "${P50[$2]}" "${P99[$2]}"; }
row ZelkorH "$SVC_PORT"
row bare-evhttp "$BARE_PORT"
row bare-evhttp-changelist "$LIKE_PORT"
ratio() { awk -v s="${RPS[$SVC_PORT]}" -v b="${RPS[$1]}" 'BEGIN {printf "%.2f", s / b}'; }
printf 'ratio ZelkorH/bare: %s (target >= 0.95)\n' "$(ratio "$BARE_PORT")"
printf 'ratio ZelkorH/bare-changelist: %s (the service'"'"'s own work)\n' "$(ratio "$LIKE_PORT")"
