#!/usr/bin/env bash
# The .deb as a user gets it: built by CPack, unpacked into a throw-away root, its desktop files
# validated, and its `quillet up` run from there until it monitors. Every per-user location and
# the tmux socket folder point into the scratch folder; the relay listens on loopback only.
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
up_pid=
cleanup() {
    [ -n "$up_pid" ] && kill -TERM "$up_pid" 2>/dev/null && wait "$up_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$scratch/up.log" ] && cat "$scratch/up.log" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
debs=("$scratch"/package/*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
root="$scratch/root"
dpkg -x "${debs[0]}" "$root"
for file in bin/quillet bin/quillet-server lib/systemd/user/quillet-agent.service \
    lib/systemd/user/quillet-server.service lib/systemd/system/quillet-server.service \
    share/applications/lorvo.fennick.quillet.desktop share/metainfo/lorvo.fennick.quillet.metainfo.xml \
    share/icons/hicolor/scalable/apps/lorvo.fennick.quillet.svg; do
    [ -e "$root/usr/$file" ] || fail "the package lacks /usr/$file"
done
# Hints count: a launcher entry listed twice in a menu is a fault too.
hints=$(desktop-file-validate "$root/usr/share/applications/lorvo.fennick.quillet.desktop" 2>&1) ||
    fail "desktop-file-validate: $hints"
[ -z "$hints" ] || fail "desktop-file-validate: $hints"
appstreamcli validate --no-net "$root/usr/share/metainfo/lorvo.fennick.quillet.metainfo.xml" >/dev/null ||
    fail "appstreamcli validate"

for folder in config data state cache runtime tmux home; do mkdir -p "$scratch/$folder"; done
chmod 700 "$scratch/runtime"
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" XDG_STATE_HOME="$scratch/state"
export XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/runtime" TMUX_TMPDIR="$scratch/tmux"
export HOME="$scratch/home" QUILLET_CREDENTIAL_STORE=file
unset TMUX TMUX_PANE DBUS_SESSION_BUS_ADDRESS
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

"$root/usr/bin/quillet" up --no-pair --listen 127.0.0.1 --port "$port" >"$scratch/up.log" 2>&1 &
up_pid=$!
for _ in $(seq 600); do
    grep -q "agent running" "$scratch/up.log" && break
    kill -0 "$up_pid" 2>/dev/null || fail "quillet up ended early"
    sleep 0.1
done
grep -q "agent running" "$scratch/up.log" || fail "quillet up did not reach monitoring"
# The package's own relay, not one from the build tree or PATH.
grep -qF "Server: starting $root/usr/bin/quillet-server at http://127.0.0.1:$port" "$scratch/up.log" ||
    fail "quillet up did not start the packaged relay"
kill -TERM "$up_pid"
status=0
wait "$up_pid" || status=$?
up_pid=
[ "$status" -eq 0 ] || fail "quillet up stopped with status $status"
echo "PASS: the package installs and quillet up runs from it"
