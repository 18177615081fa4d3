#!/usr/bin/env bash
# Checks installing as a user would, on this machine (as root; it changes /usr): `./dev install`
# gives a vorn-azure that a new login shell runs, with its man page and completion, and
# `./dev uninstall` leaves nothing behind; the Debian package installs, reaches a private
# emulator with `status`, and purges without a trace.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
AZURITE_BIN="$ROOT/tools/azurite/node_modules/.bin/azurite-blob"
WORK="$(mktemp -d)"
AZURITE_PID=
cleanup() {
  [ -z "$AZURITE_PID" ] || { kill "$AZURITE_PID" 2>/dev/null; wait "$AZURITE_PID" 2>/dev/null || true; }
  rm -rf "$WORK"
}
trap cleanup EXIT

step() { printf '\n==> %s\n' "$*"; }
fail() { echo "check_install: $*" >&2; exit 1; }
# Every path below the places an install writes to, to compare before and after.
snapshot() { { find /usr/local /usr/vorn /usr/bin /usr/share/man/man1 /usr/share/bash-completion 2>/dev/null || true; } | sort; }
login_shell() { env -i HOME="$WORK/home" TERM=dumb bash -lc "$1"; }

[ "$(id -u)" -eq 0 ] || fail "run as root"
mkdir -p "$WORK/home"
snapshot >"$WORK/before"

step "./dev install, then vorn-azure from a new login shell"
"$ROOT/dev" install >/dev/null
login_shell 'vorn-azure --version'
login_shell 'man -w vorn-azure' | grep -q 'vorn-azure.1' || fail "no man page"
login_shell 'source /usr/local/share/bash-completion/completions/vorn-azure && complete -p vorn-azure' |
  grep -q _vorn_azure || fail "no bash completion"

step "./dev uninstall leaves nothing behind"
"$ROOT/dev" uninstall
snapshot >"$WORK/after"
diff "$WORK/before" "$WORK/after" || fail "the uninstall left the paths above"
! login_shell 'command -v vorn-azure' || fail "vorn-azure still runs"

step "The Debian package: install, status against a private emulator, purge"
"$ROOT/dev" package >/dev/null
DEB="$(ls "$ROOT"/build/vorn-azure-blob_*.deb)"
dpkg-deb --info "$DEB" | grep -E 'Package|Version|Depends'
dpkg -i "$DEB" >/dev/null
PORT="$(/usr/bin/python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$AZURITE_BIN" --blobHost 127.0.0.1 --blobPort "$PORT" --inMemoryPersistence --disableTelemetry \
  --skipApiVersionCheck --silent --loose >/dev/null 2>&1 &
AZURITE_PID=$!
for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.1; done
ENDPOINT="http://127.0.0.1:$PORT/devstoreaccount1"
login_shell "vorn-azure --endpoint $ENDPOINT create-container && vorn-azure --endpoint $ENDPOINT status" |
  grep -qx reachable || fail "the installed vorn-azure did not reach the emulator"
echo "reachable through /usr/bin/vorn-azure"
dpkg --purge vorn-azure-blob >/dev/null
snapshot >"$WORK/after"
diff "$WORK/before" "$WORK/after" || fail "the purge left the paths above"
! dpkg -s vorn-azure-blob >/dev/null 2>&1 || fail "the package is still known"
echo "check_install: all clean"
