#!/usr/bin/env bash
# Runs the Korvalo demo: installs what is missing (as root), builds, makes the demo
# certificates, and starts the card-service stand-in, the stand-in of the maker's services, the
# demo web service and Korvalo.
# Open the printed address in a browser and sign; Ctrl-C stops everything this script started.
# The summary also prints how to try an update with korvalo-update: the stand-in of the maker's
# services offers a newer Korvalo, and the updater's stand-in shows what it would get.
#
# Environment:
#   KORVALO_BUILD_DIR  build folder (default: build)
#   KORVALO_DEMO_PORT  port of the demo web service (default 48080; a free one when taken)
#   KORVALO_SKIP_BUILD 1: do not install or build, run what the build folder holds
#   DISPLAY            the X display for Korvalo's windows; without it a virtual one (Xvfb)
set -euo pipefail
cd "$(dirname "$0")"

build=${KORVALO_BUILD_DIR:-build}
demo="$build/korvalo-demo"
logs="$demo/logs"
endpoint_port=48051

say() { printf '%s\n' "run.sh: $*"; }
fail() {
    printf '%s\n' "run.sh: $*" >&2
    exit 1
}

# ---- processes this script starts, stopped on exit ------------------------------------
pids=()
names=()
cleaning=0
cleanup() {
    [ "$cleaning" = 1 ] && return
    cleaning=1
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        if kill -0 "${pids[$i]}" 2>/dev/null; then
            say "stopping ${names[$i]} (pid ${pids[$i]})"
            kill -TERM "${pids[$i]}" 2>/dev/null || true
        fi
    done
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        # Give each one a few seconds, then insist.
        local waited=0
        while kill -0 "${pids[$i]}" 2>/dev/null && [ "$waited" -lt 50 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        kill -KILL "${pids[$i]}" 2>/dev/null || true
        wait "${pids[$i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started() {  # NAME PID
    names+=("$1")
    pids+=("$2")
}

port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Waits until FILE has a line starting with PREFIX (or PID ends); prints the rest of the line.
announced() {  # FILE PREFIX PID
    local i line
    for ((i = 0; i < 300; i++)); do
        line=$(grep -m1 "^$2" "$1" 2>/dev/null || true)
        if [ -n "$line" ]; then
            printf '%s\n' "${line#"$2"}"
            return 0
        fi
        kill -0 "$3" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Starts the stand-in NAME on PORT (0: a free one) with its output in $logs/LOG.out and .log,
# and sets announced_port to the port it listens on. A wanted port inside the system's range of
# free ports can be handed to another program's socket between the check and the stand-in's
# bind; the stand-in then gets a free port instead, and says so.
announced_port=
start_standin() {  # NAME PORT LOG ARGS...
    local name=$1 port=$2 log=$3
    shift 3
    local attempt
    for attempt in 1 2; do
        rm -f "$logs/$log.out"
        "$bin/$name" --port "$port" "$@" >"$logs/$log.out" 2>"$logs/$log.log" &
        started "$name" $!
        if announced_port=$(announced "$logs/$log.out" "listening on 127.0.0.1:" "${pids[-1]}"); then
            return 0
        fi
        if [ "$port" = 0 ] || ! grep -q "Address already in use" "$logs/$log.log"; then
            break
        fi
        say "$name: port $port was taken as it started; trying a free port"
        wait "${pids[-1]}" 2>/dev/null || true
        unset 'pids[-1]' 'names[-1]'
        port=0
    done
    fail "$name did not start (see $logs/$log.log)"
}

# ---- install and build -----------------------------------------------------------------
if [ "${KORVALO_SKIP_BUILD:-0}" != 1 ]; then
    ./scripts/install-deps.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j2
fi

bin="$build/bin"
for program in korvalo-card-service korvalo-vendor-service korvalo-demo-service; do
    [ -x "$bin/$program" ] || fail "$bin/$program was not built"
done
if [ ! -x "$bin/korvalo" ]; then
    fail "$bin/korvalo does not exist: the Korvalo application is not part of this build yet," \
        "so the demo cannot run. Build it first, then start ./run.sh again."
fi

# ---- demo certificates and settings ----------------------------------------------------
./scripts/demo-store.sh "$demo"
mkdir -p "$logs" "$demo/uploads"
# The programs announce their ports in these files: a previous run's must not be read for theirs.
rm -f "$logs/card-service.out" "$logs/vendor-service.out" "$logs/demo-service.out"

if port_busy "$endpoint_port"; then
    fail "port $endpoint_port is already in use (another Korvalo running?); stop it first"
fi

# ---- a display for Korvalo's windows ---------------------------------------------------
if [ -z "${DISPLAY:-}" ]; then
    command -v Xvfb >/dev/null || fail "no DISPLAY and Xvfb is not installed"
    n=99
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do
        n=$((n + 1))
    done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >"$logs/xvfb.log" 2>&1 &
    started Xvfb $!
    for ((i = 0; i < 100; i++)); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        kill -0 "${pids[-1]}" 2>/dev/null || fail "Xvfb did not start (see $logs/xvfb.log)"
        sleep 0.1
    done
    export DISPLAY=":$n"
    say "no DISPLAY: started a virtual display $DISPLAY (Xvfb); Korvalo's windows appear there."
    if command -v x11vnc >/dev/null; then
        say "to look at it: x11vnc -display $DISPLAY -localhost -nopw -forever, then a VNC viewer on 127.0.0.1:5900"
    else
        say "to look at it, install x11vnc and run: x11vnc -display $DISPLAY -localhost -nopw -forever"
    fi
fi

# ---- the card-service stand-in ---------------------------------------------------------
card_port=8084
port_busy "$card_port" && card_port=0
start_standin korvalo-card-service "$card_port" card-service --cert "$demo/card/card.pem" \
    --key "$demo/card/card.key" --log "$logs/card-service-requests.log"
card_port=$announced_port
say "card service (ID-card stand-in) on 127.0.0.1:$card_port"

# ---- the stand-in of the maker's services (path loader and update) ---------------------
# On the port of Korvalo's built-in endpoint list, or a free one when that is taken. Its catalog
# is the built-in one, except that it offers a Korvalo newer than this build.
vendor_port=$("$bin/korvalo-vendor-service" --default-port)
port_busy "$vendor_port" && vendor_port=0
version=$("$bin/korvalo" --version | awk '{ print $2 }')
newer=$(awk -F. '{ printf "%d.%d.%d.%d", $1, $2, $3 + 1, $4 }' <<<"$version")
cat >"$demo/vendor-catalog.json" <<CATALOG
{"software": [
  {"id": "{2A9EB3FF-6117-4CC4-BC58-647DCFEE6428}", "module": "korvalo", "version": "$newer",
   "download": "\${SELF}/download/korvalo-$newer.tar.gz",
   "menus": {"": [{"name": "Основной сервер", "paths": ["\${SELF}", "\${SELF}/reserve"]},
                  {"name": "Резервный сервер", "paths": ["\${SELF}/backup"]}]}}
]}
CATALOG
start_standin korvalo-vendor-service "$vendor_port" vendor-service \
    --config "$demo/vendor-catalog.json" --log "$logs/vendor-service-requests.log"
vendor_port=$announced_port
say "maker's services (path loader and update stand-in) on 127.0.0.1:$vendor_port"

# ---- what korvalo-update needs to try an update ---------------------------------------
# The updater's stand-in beside the programs as "_Renovar" (korvalo-update copies it to the
# per-user folder), and settings that send the path loader to the stand-in above. The per-user
# folder is the demo's own, so nothing lands in the user's configuration.
update_hint="build korvalo-update and korvalo-renovar-standin to try an update"
if [ -x "$bin/korvalo-update" ] && [ -x "$bin/korvalo-renovar-standin" ]; then
    cp "$bin/korvalo-renovar-standin" "$bin/_Renovar"
    printf '[PathLoader]\r\nPathLoaderURLType=2\r\nPathLoaderURL=%s\r\n' \
        "http://127.0.0.1:$vendor_port/scripts/PathLoaderSrv.dll" >"$demo/update.ini"
    mkdir -p "$demo/config"
    update_hint="DISPLAY=$DISPLAY XDG_CONFIG_HOME=$(realpath "$demo/config") \\
                      KORVALO_INI=$(realpath "$demo/update.ini") $bin/korvalo-update
                      (choose a connection, agree to update to $newer: the updater's stand-in
                      shows its arguments and records them in
                      $demo/config/VALDOR/korvalo/renovar-arguments.json)"
fi

# ---- the demo web service --------------------------------------------------------------
demo_port=${KORVALO_DEMO_PORT:-48080}
port_busy "$demo_port" && demo_port=0
"$bin/korvalo-demo-service" --port "$demo_port" --korvalo "http://127.0.0.1:$endpoint_port/" \
    --ca "$demo/ca.pem" --data "$demo/uploads" >"$logs/demo-service.out" &
started korvalo-demo-service $!
demo_url=$(announced "$logs/demo-service.out" "listening on " "${pids[-1]}") ||
    fail "korvalo-demo-service did not start"

# ---- Korvalo ---------------------------------------------------------------------------
# The demo token: SoftHSM2, which p11-kit's proxy reaches, reads its folder from SOFTHSM2_CONF.
token_line="not made (install softhsm2 and gnutls-bin, then run again)"
if [ -f "$demo/token/softhsm2.conf" ]; then
    export SOFTHSM2_CONF
    SOFTHSM2_CONF="$(realpath "$demo/token/softhsm2.conf")"
    token_line="\"Korvalo Demo\" (Токенова Ольга Сергеевна), PIN 1234"
fi
KORVALO_CERT_STORE="$(realpath "$demo/store")" KORVALO_INI="$(realpath "$demo/korvalo.ini")" \
    KORVALO_CARD_SERVICE_PORT="$card_port" KORVALO_LOG_STDERR=1 "$bin/korvalo" &
started korvalo $!
for ((i = 0; i < 200; i++)); do
    port_busy "$endpoint_port" && break
    kill -0 "${pids[-1]}" 2>/dev/null || fail "korvalo ended before it opened port $endpoint_port"
    sleep 0.1
done
port_busy "$endpoint_port" || fail "korvalo did not open port $endpoint_port"

cat <<TEXT

  Korvalo demo is running.
    demo page:        $demo_url
    Korvalo endpoint: http://127.0.0.1:$endpoint_port/
    maker's services: http://127.0.0.1:$vendor_port/scripts/PathLoaderSrv.dll (path loader),
                      http://127.0.0.1:$vendor_port/soap/IUpdateSrv (update)
    certificates:     $demo/store (03-kozlov.p12 has the key password 1234)
    token:            $token_line
    try an update:    $update_hint
    results (JSON):   ${demo_url}results.json
    uploads and logs: $demo/uploads, $logs
  Open the demo page in a browser on this machine. Ctrl-C stops everything.

TEXT

# Run until Ctrl-C, or until one of the programs ends (for example "Выход" in Korvalo's menu).
set +e
wait -n "${pids[@]}"
status=$?
set -e
for i in "${!pids[@]}"; do
    if ! kill -0 "${pids[$i]}" 2>/dev/null; then
        say "${names[$i]} ended (status $status); stopping the rest"
        break
    fi
done
exit "$status"
