# The FTP daemons the engine's daemon tests (test_daemons) run against: vsftpd, ProFTPD with mod_tls and Pure-FTPd,
# from Debian's own packages. As installed packages they conflict with each other and would start system services,
# so their .debs are only downloaded and unpacked side by side into one folder; the libraries they load are ordinary
# packages in KOLVANE_PACKAGES. Sourced by deps.sh; install_daemons does nothing once the folder holds them all.
#
# The folder is $KOLVANE_DAEMONS, by default ${XDG_CACHE_HOME:-~/.cache}/kolvane/daemons (the tests look in the same
# place); its file "versions" names each package and version unpacked there.

KOLVANE_DAEMON_DEBS=(vsftpd proftpd-core proftpd-mod-crypto pure-ftpd)
KOLVANE_DAEMONS="${KOLVANE_DAEMONS:-${XDG_CACHE_HOME:-$HOME/.cache}/kolvane/daemons}"

install_daemons() {
    local stamp="$KOLVANE_DAEMONS/versions" p
    if [ -f "$stamp" ]; then
        local complete=1
        for p in "${KOLVANE_DAEMON_DEBS[@]}"; do
            grep -q "^$p " "$stamp" || complete=0
        done
        [ "$complete" -eq 1 ] && return 0
    fi
    echo "Unpacking the test daemons into $KOLVANE_DAEMONS: ${KOLVANE_DAEMON_DEBS[*]}"
    local scratch
    scratch="$(mktemp -d)"
    # apt's download user must be able to write there; the folder holds nothing else.
    chmod 0777 "$scratch"
    if ! (cd "$scratch" && apt-get download -qq "${KOLVANE_DAEMON_DEBS[@]}"); then
        # Package lists that were never fetched (a fresh container) know no candidates yet.
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        (cd "$scratch" && apt-get download -qq "${KOLVANE_DAEMON_DEBS[@]}") || {
            rm -rf "$scratch"
            return 1
        }
    fi
    # Unpacked beside the final folder and moved in one step: an interrupted run leaves no half-filled folder.
    local staging="$KOLVANE_DAEMONS.new"
    rm -rf "$staging"
    mkdir -p "$staging"
    local deb
    for deb in "$scratch"/*.deb; do
        dpkg -x "$deb" "$staging"
        dpkg-deb --show --showformat='${Package} ${Version}\n' "$deb" >>"$staging/versions"
    done
    rm -rf "$scratch" "$KOLVANE_DAEMONS"
    mv "$staging" "$KOLVANE_DAEMONS"
}
