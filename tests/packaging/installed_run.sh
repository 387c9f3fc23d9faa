#!/usr/bin/env bash
# The package unpacked into a temporary root (dpkg -x) and run from there as an installed
# program, in the environment of a fresh login with a new home folder:
#   - --version and --help answer at once, also while a copy holds the port, and those of
#     korvalo-update;
#   - offscreen it answers OPTIONS on port 48051 and writes nothing beside the program;
#   - on a display with a notification area (Xvfb, trayer), the settings dialog opened from the
#     tray menu saves to the user's own settings file ~/.config/korvalo/korvalo.ini;
#   - with debug on it creates "request.txt" in ~/.local/state/korvalo/ and records requests
#     there, and looks for the companion server in /usr/lib/korvalo/tinyWebServer/.
# Needs the real port 48051 (ctest: RESOURCE_LOCK port48051), Xvfb, trayer, xdotool and curl.
#
#   installed_run.sh PACKAGE VERSION
set -euo pipefail

deb=$1
version=$2
port=48051

work=$(mktemp -d "${TMPDIR:-/tmp}/korvalo-installed-XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    local log
    for log in "$work"/*.log; do
        [ -f "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
    done
    exit 1
}
pass() { echo "ok: $*"; }

# Waits until the command succeeds, at most $1 tenths of a second.
wait_for() {
    local tenths=$1 i
    shift
    for ((i = 0; i < tenths; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
answers_options() {
    [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 -X OPTIONS \
        "http://127.0.0.1:$port/")" = 200 ]
}
file_has() { grep -qF -- "$2" "$1"; }

# Stops the copy started last and checks that it ended by itself with status 0.
stop_korvalo() {
    local pid=${pids[-1]} status=0
    kill -TERM "$pid"
    wait "$pid" || status=$?
    unset 'pids[-1]'
    [ "$status" = 0 ] || fail "korvalo ended with status $status"
    wait_for 50 bash -c "! curl -s --max-time 1 -X OPTIONS http://127.0.0.1:$port/" ||
        fail "port $port still answers after korvalo ended"
}

answers_options && fail "another program answers on port $port"

root="$work/root"
dpkg -x "$deb" "$root"
korvalo="$root/usr/bin/korvalo"
[ -L "$korvalo" ] || fail "usr/bin/korvalo is not a symbolic link"
program_dir="$root/usr/lib/korvalo"
# What the package put beside the program: the programs and the marker.
packaged=$(ls -A "$program_dir" | tr '\n' ' ')
home="$work/home"
mkdir -p "$home" "$work/tmp"
chmod 700 "$work/tmp"

# The environment of a fresh login: a new home, none of this session's XDG folders, settings
# file or display.
fresh=(env -i "PATH=/usr/bin:/bin" "HOME=$home" "LANG=C.UTF-8" "TMPDIR=$work/tmp"
    "KORVALO_LOG_STDERR=1")
start_korvalo() {  # LOG VARIABLE=VALUE...
    local log=$1
    shift
    "${fresh[@]}" "$@" "$korvalo" >"$work/$log" 2>&1 &
    pids+=($!)
    wait_for 300 answers_options || fail "korvalo does not answer OPTIONS on port $port"
}

# ---- --version and --help --------------------------------------------------------------
[ "$("${fresh[@]}" "$korvalo" --version)" = "Korvalo $version" ] ||
    fail "--version printed '$("${fresh[@]}" "$korvalo" --version)'"
help=$("${fresh[@]}" "$korvalo" --help)
for expected in "установленная программа" "$home/.config/korvalo/korvalo.ini" \
    "/etc/korvalo/korvalo.ini" "$home/.config/VALDOR/korvalo/korvalo.ini" \
    "$home/.local/state/korvalo/request.txt" "$program_dir/tinyWebServer/run.sh"; do
    grep -qF -- "$expected" <<<"$help" || fail "--help does not name $expected:"$'\n'"$help"
done
# The update host acts for the korvalo beside it, with the user's own folders.
update="$program_dir/korvalo-update"
[ "$("${fresh[@]}" "$update" --version)" = "korvalo-update $version" ] ||
    fail "korvalo-update --version printed '$("${fresh[@]}" "$update" --version)'"
update_help=$("${fresh[@]}" "$update" --help)
grep -qF -- "$home/.config/VALDOR/korvalo/" <<<"$update_help" ||
    fail "korvalo-update --help does not name the per-user folder:"$'\n'"$update_help"
pass "--version and --help"

# ---- offscreen: the endpoint -----------------------------------------------------------
start_korvalo offscreen.log QT_QPA_PLATFORM=offscreen
pass "the unpacked program answers OPTIONS on port $port"
# A question to a second copy is answered without the port message.
[ "$(timeout 10 "${fresh[@]}" QT_QPA_PLATFORM=offscreen "$korvalo" --version)" = \
    "Korvalo $version" ] || fail "--version while a copy runs"
stop_korvalo
[ "$(ls -A "$program_dir" | tr '\n' ' ')" = "$packaged" ] ||
    fail "files appeared beside the program: $(ls -A "$program_dir")"
[ -d "$home/.config/korvalo" ] || fail "the settings folder was not made"
[ "$(stat -c %a "$home/.config/korvalo")" = 700 ] || fail "the settings folder is not private"
[ -d "$home/.config/VALDOR/korvalo" ] || fail "the per-user proxy folder was not made"
[ ! -e "$home/.config/korvalo/korvalo.ini" ] || fail "a settings file was written unasked"
pass "nothing written beside the program; the user's folders made"

# ---- a display with a notification area: the settings dialog saves to the user's file ----
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
display=":$(head -n1 "$work/display")"
DISPLAY=$display trayer --edge top --align left --widthtype pixel --width 200 \
    --heighttype pixel --height 32 >"$work/trayer.log" 2>&1 &
pids+=($!)
xdo() { DISPLAY=$display xdotool "$@"; }
start_korvalo display.log "DISPLAY=$display"
# The tray icon: the small visible window of Korvalo's (the main window stays hidden, the start
# balloon is larger).
icon_window() {
    local window WIDTH HEIGHT
    for window in $(xdo search --onlyvisible --class '^korvalo$'); do
        eval "$(xdo getwindowgeometry --shell "$window" | grep -E '^(WIDTH|HEIGHT)=[0-9]+$')"
        if [ "${WIDTH:-99}" -le 48 ] && [ "${HEIGHT:-99}" -le 48 ]; then
            echo "$window"
            return 0
        fi
    done
    return 1
}
wait_for 100 icon_window || fail "no tray icon"
icon=$(icon_window)
settings_window() { xdo search --onlyvisible --name '^Настройки$' | head -n1 | grep .; }
for ((attempt = 0; attempt < 10; attempt++)); do
    xdo mousemove --window "$icon" 4 4 click 3
    sleep 0.3
    xdo key Down Return  # the first item of the tray menu: "Настройка..."
    wait_for 20 settings_window && break
done
dialog=$(settings_window) || fail "the settings dialog did not open"
ini="$home/.config/korvalo/korvalo.ini"
for ((attempt = 0; attempt < 10; attempt++)); do
    xdo windowactivate --sync "$dialog" 2>/dev/null || xdo windowfocus --sync "$dialog"
    xdo key Return  # OK, the default button
    wait_for 20 test -f "$ini" && break
done
wait_for 50 file_has "$ini" "useAutoProxy=" || fail "the dialog did not save to $ini"
file_has "$ini" "[proxy]" || fail "$ini has no [proxy] section"
[ ! -e "$program_dir/korvalo.ini" ] || fail "the dialog wrote beside the program"
stop_korvalo
pass "the settings dialog saved to $ini"

# ---- debug on: the protocol file in the state folder ------------------------------------
printf '[Main]\ndebug=true\nprovider=IOLA\n' >>"$ini"
start_korvalo debug.log QT_QPA_PLATFORM=offscreen
protocol="$home/.local/state/korvalo/request.txt"
[ -f "$protocol" ] || fail "no $protocol"
[ "$(stat -c %a "$home/.local/state")" = 700 ] || fail "the state folder is not private"
curl -s -o /dev/null --max-time 10 "http://127.0.0.1:$port/?probe=1" || true
wait_for 100 file_has "$protocol" "*** " || fail "the request was not recorded in $protocol"
wait_for 100 file_has "$work/debug.log" "$program_dir/tinyWebServer/run.sh" ||
    fail "the companion server was not looked for in $program_dir/tinyWebServer/"
file_has "$work/debug.log" "Администратора" && fail "the administrator hint was logged"
stop_korvalo
[ "$(ls -A "$program_dir" | tr '\n' ' ')" = "$packaged" ] ||
    fail "files appeared beside the program: $(ls -A "$program_dir")"
pass "debug on: $protocol created and written; companion looked for in $program_dir"
echo "installed run: all checks passed"
