#!/usr/bin/env bash
# Installs what the three programs need, builds the console, kolvane-site and quillon-sim (nothing else), starts the
# stand-in daemon quillon-sim on 127.0.0.1:2121 (unless something already listens there) and opens the console with
# a site for it.
#
# Everything the demo writes stays under build/demo: the console's settings (XDG_CONFIG_HOME), its session logs
# (XDG_STATE_HOME), the daemon's certificate, state and log. The console and kolvane-site run on a D-Bus session bus
# of their own on which no secret service can start, so the demo site's password is kept enciphered in the demo's
# settings and never reaches the operator's own secret store. Stop the demo and delete build/demo to start over.
set -euo pipefail
cd "$(dirname "$0")"
source .ci/deps.sh
install_deps "${KOLVANE_RUN_PACKAGES[@]}"
build_demo

demo="$PWD/build/demo"
mkdir -p "$demo"
# The demo's daemon speaks FTP over TLS with a certificate of its own, made once and kept, whose fingerprint the
# demo site has pinned: the console opens on it with no question asked.
if [ ! -f "$demo/quillon-cert.pem" ] || [ ! -f "$demo/quillon-key.pem" ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 -subj "/CN=127.0.0.1" \
        -addext "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost" \
        -keyout "$demo/quillon-key.pem" -out "$demo/quillon-cert.pem" 2>/dev/null
fi
fingerprint=$(openssl x509 -noout -fingerprint -sha256 -in "$demo/quillon-cert.pem" | sed 's/^.*=//')
sim=""
bus=""
console=""
# Whatever the demo started goes with it, however it ends.
cleanup() {
    local pid
    for pid in $console $sim $bus; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
if ! (exec 3<>/dev/tcp/127.0.0.1/2121) 2>/dev/null; then
    build/sim/quillon-sim --port 2121 --tls --cert "$demo/quillon-cert.pem" --key "$demo/quillon-key.pem" \
        --state "$demo/quillon-state.json" --log "$demo/quillon.log" >"$demo/quillon.out" 2>&1 &
    sim=$!
    for _ in $(seq 100); do
        grep -q "listening on" "$demo/quillon.out" 2>/dev/null && break
        kill -0 "$sim" 2>/dev/null || { cat "$demo/quillon.out"; exit 1; }
        sleep 0.05
    done
    echo "quillon-sim is listening on 127.0.0.1:2121 with TLS (commands it receives: $demo/quillon.log)"
else
    echo "Something already listens on 127.0.0.1:2121; the console will use it."
fi

export XDG_CONFIG_HOME="$demo/config"
export XDG_STATE_HOME="$demo/state"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
# A session bus with no services to start: whatever asks it for a secret store finds none.
cat >"$demo/dbus-session.conf" <<'CONF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
# Screen readers still reach the console: the desktop's accessibility bus is named to it directly.
if [ -z "${AT_SPI_BUS_ADDRESS:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] && command -v dbus-send >/dev/null; then
    AT_SPI_BUS_ADDRESS=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ') || true
    [ -n "$AT_SPI_BUS_ADDRESS" ] && export AT_SPI_BUS_ADDRESS
fi
started=$(dbus-daemon --config-file="$demo/dbus-session.conf" --fork --print-address=1 --print-pid=1)
bus=$(sed -n 2p <<<"$started")
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$started")

echo quillon | build/sitebook/kolvane-site add "quillon-sim" 127.0.0.1 2121 siteop --last \
    --security explicit --data passive-else-active --fingerprint "$fingerprint"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: run this from a desktop session (or under xvfb-run)." >&2
    exit 1
fi
echo "The console's session logs go to $XDG_STATE_HOME/kolvane/sessions (MiSC > Session Log)."
# The console runs until its window is closed; should the demo itself be stopped, the console and the daemon go too.
build/shell/kolvane &
console=$!
status=0
wait "$console" || status=$?
console=""
exit "$status"
