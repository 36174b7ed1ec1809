#!/usr/bin/env bash
# Installs what the project needs, builds the console, kolvane-site and quillon-sim, starts the stand-in daemon
# quillon-sim on 127.0.0.1:2121 (unless something already listens there) and opens the console with a site for it.
# The demo keeps its own settings and the daemon's state under build/demo, so an operator's own site book is never
# touched; stop the demo and delete build/demo to start over with a fresh site.
set -euo pipefail
cd "$(dirname "$0")"
source .ci/deps.sh
install_deps
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
if ! (exec 3<>/dev/tcp/127.0.0.1/2121) 2>/dev/null; then
    build/sim/quillon-sim --port 2121 --tls --cert "$demo/quillon-cert.pem" --key "$demo/quillon-key.pem" \
        --state "$demo/quillon-state.json" --log "$demo/quillon.log" >"$demo/quillon.out" 2>&1 &
    sim=$!
    trap 'kill "$sim" 2>/dev/null || true' EXIT
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
echo quillon | build/sitebook/kolvane-site add "quillon-sim" 127.0.0.1 2121 siteop --last \
    --security explicit --data passive-else-active --fingerprint "$fingerprint"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: run this from a desktop session (or under xvfb-run)." >&2
    exit 1
fi
# The console runs until its window is closed; should the demo itself be stopped, the console and the daemon go too.
build/shell/kolvane &
console=$!
trap 'kill "$console" 2>/dev/null || true; exit 130' INT TERM
wait "$console"
