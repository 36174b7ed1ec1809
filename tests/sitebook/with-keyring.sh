#!/usr/bin/env bash
# Runs a test program in a session of its own with a real secret store: a private D-Bus session bus and a
# gnome-keyring unlocked with a throw-away password, all kept in a temporary folder and ended afterwards.
set -euo pipefail
if ! command -v dbus-run-session >/dev/null || ! command -v gnome-keyring-daemon >/dev/null; then
    echo "no dbus-run-session or gnome-keyring-daemon: nothing to run against" >&2
    exec "$@" --gtest_filter=-*
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export KOLVANE_KEYRING_TEST=1
exec dbus-run-session -- bash -c '
    printf "throwaway" | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
    keyring=$!
    # Asked without starting anything: a call to org.freedesktop.secrets itself would have the bus start a second,
    # locked keyring daemon if this one had not taken the name yet, and every test would then meet its prompt.
    for _ in $(seq 100); do
        gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
            --method org.freedesktop.DBus.NameHasOwner org.freedesktop.secrets 2>/dev/null | grep -q true && break
        sleep 0.1
    done
    status=0
    "$@" || status=$?
    kill "$keyring" 2>/dev/null || true
    wait "$keyring" 2>/dev/null || true
    exit "$status"' with-keyring "$@"
