#!/usr/bin/env bash
# Load figures of the local endpoint, side by side with nginx on the same machine.
#
# 1. Requests per second for OPTIONS and for the busy answer (a form request while a dialog
#    holds the gate), each with "Connection: close", from wrk over loopback; the same wrk
#    against nginx serving an equivalent static answer; both figures and their ratio. The busy
#    answer has no Content-Length (its body ends with the connection), so nginx also serves the
#    busy page that way on a second port: that ratio shows what the framing itself costs.
# 2. 2,000 idle connections: the endpoint's thread count and memory before and after, and a
#    new OPTIONS request answered while they are open.
#
# Usage: bench/endpoint/run.sh [build-dir]   (default: build; needs endpoint_bench_server)
# Environment: DURATION (seconds per run, default 10), CONNECTIONS (wrk, default 64),
#              WRK_THREADS (default 2), IDLE (default 2000).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${1:-$root/build}"
server_bin="$build/bin/endpoint_bench_server"
duration="${DURATION:-10}"
connections="${CONNECTIONS:-64}"
wrk_threads="${WRK_THREADS:-2}"
idle="${IDLE:-2000}"

for tool in wrk nginx python3 curl; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$server_bin" ] || { echo "missing $server_bin (build target endpoint_bench_server)" >&2; exit 1; }

work="$(mktemp -d)"
chmod 755 "$work"  # nginx workers may run as another user
server_pid=""
nginx_pid=""
idle_pid=""
cleanup() {
    for pid in "$idle_pid" "$nginx_pid" "$server_pid"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# --- the endpoint -------------------------------------------------------------------------
"$server_bin" --port 0 >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 100); do
    grep -q '^PORT ' "$work/server.out" 2>/dev/null && break
    sleep 0.05
done
endpoint_port="$(awk '/^PORT /{print $2}' "$work/server.out")"
[ -n "$endpoint_port" ] || { echo "bench server did not start" >&2; cat "$work/server.err" >&2; exit 1; }

# --- nginx with the same answers ------------------------------------------------------------
nginx_port="$(free_port)"
nginx_close_port="$(free_port)"
mkdir -p "$work/nginx/html" "$work/nginx/tmp"
"$server_bin" --busy-page >"$work/nginx/html/index.html"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 8192; }
http {
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path $work/nginx/tmp;
    proxy_temp_path $work/nginx/tmp;
    fastcgi_temp_path $work/nginx/tmp;
    uwsgi_temp_path $work/nginx/tmp;
    scgi_temp_path $work/nginx/tmp;
    server {
        listen 127.0.0.1:$nginx_port;
        root $work/nginx/html;
        server_tokens off;
        add_header Access-Control-Allow-Origin "*";
        add_header Access-Control-Allow-Methods "POST";
        add_header Access-Control-Allow-Headers "Content-Type";
        location / {
            if (\$request_method = OPTIONS) { return 200; }
            default_type "text/html; charset=utf-8";
            try_files /index.html =404;
        }
    }
    # The busy page with its end told by the close of the connection, as the endpoint sends it
    # (a filter that changes nothing takes the length away; no chunked coding).
    server {
        listen 127.0.0.1:$nginx_close_port;
        root $work/nginx/html;
        server_tokens off;
        chunked_transfer_encoding off;
        location / {
            default_type "text/html; charset=utf-8";
            sub_filter_types *;
            sub_filter_once off;
            sub_filter "#no-such-text#" "";
            try_files /index.html =404;
        }
    }
}
EOF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" 2>"$work/nginx/start.err" &
nginx_pid=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && break
    sleep 0.05
done
for method in GET OPTIONS; do
    code="$(curl -s -o /dev/null -w '%{http_code}' -X "$method" "http://127.0.0.1:$nginx_port/")"
    [ "$code" = 200 ] || { echo "nginx answers $method with $code" >&2; cat "$work/nginx/error.log" >&2; exit 1; }
done
if curl -s -D - -o /dev/null "http://127.0.0.1:$nginx_close_port/" | grep -qi '^content-length'; then
    echo "nginx sends a length on its second port" >&2
    exit 1
fi

cat >"$work/options.lua" <<'EOF'
wrk.method = "OPTIONS"
wrk.headers["Connection"] = "close"
EOF
cat >"$work/busy.lua" <<'EOF'
wrk.method = "GET"
wrk.path = "/?urlToAnswer=http%3A%2F%2Fsvc%2Fa&urlToRedirect=http%3A%2F%2Fsvc%2Fb"
wrk.headers["Connection"] = "close"
EOF

# The busy answer is 499 with its body ended by the close of the connection: wrk counts each
# such answer as a non-2xx response and as a read error (the end of stream), and still counts
# it as a request. Other errors are shown.
rate() {  # rate <port> <script>: requests per second
    wrk -t"$wrk_threads" -c"$connections" -d"${duration}s" -s "$2" "http://127.0.0.1:$1/" \
        >"$work/wrk.out" 2>&1
    local requests errors
    requests="$(awk '/requests in/{print $1}' "$work/wrk.out")"
    errors="$(grep -E 'Non-2xx|Socket errors' "$work/wrk.out" | tr -s ' ' | tr '\n' ';' || true)"
    if [ -n "$errors" ] && [ "$2" != "$work/busy.lua" ]; then
        echo "    (wrk: $errors)" >&2
    fi
    if grep -q 'timeout [1-9]\|connect [1-9]\|write [1-9]' "$work/wrk.out"; then
        echo "    (wrk: $errors of $requests requests)" >&2
    fi
    awk '/^Requests\/sec:/{printf "%.0f", $2}' "$work/wrk.out"
}

verdicts=()
report() {  # report <name> <endpoint rps> <nginx rps>
    awk -v n="$1" -v a="$2" -v b="$3" \
        'BEGIN{printf "%-30s endpoint %7d req/s   nginx %7d req/s   ratio %.2f\n", n, a, b, a/b}'
    verdicts+=("$(awk -v n="$1" -v a="$2" -v b="$3" \
        'BEGIN{printf "%s: ratio %.2f, goal 0.8: %s", n, a/b, (a/b >= 0.8 ? "met" : "NOT met")}')")
}

echo "endpoint on 127.0.0.1:$endpoint_port, nginx on 127.0.0.1:$nginx_port;" \
     "wrk -t$wrk_threads -c$connections -d${duration}s, Connection: close"

# OPTIONS: a CORS preflight answered by the layer.
options_endpoint="$(rate "$endpoint_port" "$work/options.lua")"
options_nginx="$(rate "$nginx_port" "$work/options.lua")"
report "OPTIONS" "$options_endpoint" "$options_nginx"

# Busy answer: one form request holds the gate (its dialog never returns), the rest get 499.
curl -s -o /dev/null -m 3600 \
    "http://127.0.0.1:$endpoint_port/?urlToAnswer=a&urlToRedirect=b&crpt_message=hold" &
holder_pid=$!
sleep 0.5
busy_check="$(curl -s -o /dev/null -w '%{http_code}' \
    "http://127.0.0.1:$endpoint_port/?urlToAnswer=a&urlToRedirect=b")"
[ "$busy_check" = 499 ] || { echo "expected 499 while the gate is held, got $busy_check" >&2; exit 1; }
busy_endpoint="$(rate "$endpoint_port" "$work/busy.lua")"
busy_nginx="$(rate "$nginx_port" "$work/busy.lua")"
busy_nginx_close="$(rate "$nginx_close_port" "$work/busy.lua")"
report "busy answer (499, busy page)" "$busy_endpoint" "$busy_nginx"
report "  nginx ending it by the close" "$busy_endpoint" "$busy_nginx_close"
kill "$holder_pid" 2>/dev/null || true

# --- idle connections -----------------------------------------------------------------------
status() { awk -v k="$1:" '$1==k{print $2}' "/proc/$server_pid/status"; }
sleep 1
threads_before="$(status Threads)"
rss_before="$(status VmRSS)"
python3 - "$endpoint_port" "$idle" "$work/idle.ready" <<'EOF' &
import socket, sys, time
port, count, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
held = []
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", port))
    held.append(s)
open(ready, "w").write(str(len(held)))
time.sleep(25)  # below the endpoint's 30 s head time-out
EOF
idle_pid=$!
for _ in $(seq 400); do
    [ -f "$work/idle.ready" ] && break
    sleep 0.05
done
[ -f "$work/idle.ready" ] || { echo "idle connections not opened" >&2; exit 1; }
sleep 1
open_fds="$(ls "/proc/$server_pid/fd" | wc -l)"
threads_after="$(status Threads)"
rss_after="$(status VmRSS)"
options_code="$(curl -s -o /dev/null -w '%{http_code}' -m 10 -X OPTIONS \
    "http://127.0.0.1:$endpoint_port/")"
kill "$idle_pid" 2>/dev/null || true
wait "$idle_pid" 2>/dev/null || true
idle_pid=""

bound=32  # the bench server's handler bound (the endpoint's default)
io=2      # the endpoint's I/O threads
echo "idle connections: $(cat "$work/idle.ready") open (endpoint holds $open_fds descriptors)"
echo "  threads: $threads_before before, $threads_after with them" \
     "(at most $bound handler threads, $io I/O threads, the main thread)"
awk -v a="$rss_before" -v b="$rss_after" \
    'BEGIN{printf "  memory:  %.1f MiB before, %.1f MiB with them (+%.1f MiB)\n", a/1024, b/1024, (b-a)/1024}'
echo "  new OPTIONS request while they are open: HTTP $options_code"

ok() { if "$@"; then echo met; else echo "NOT met"; fi; }
verdicts+=("idle: threads $threads_after, no more than the bound $bound plus I/O and main: $(ok \
    test "$threads_after" -le $((bound + io + 1)) -a "$threads_after" -le "$threads_before")")
verdicts+=("idle: memory growth within 64 MiB: $(ok test $((rss_after - rss_before)) -le 65536)")
verdicts+=("idle: new OPTIONS answered: $(ok test "$options_code" = 200)")
echo "goals:"
for v in "${verdicts[@]}"; do echo "  $v"; done
