#!/usr/bin/env bash
# Demo: takes two snapshots of a sample tree in an encrypted target on a private storage
# emulator, restores the older one and compares every byte, then forgets it, prunes what only it
# needed and checks the target. Exits 0 only when every step and comparison passes.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CLI="${VORN_CLI:-$ROOT/build/bin/vorn-azure}"
AZURITE_BIN="${AZURITE_BIN:-$ROOT/tools/azurite/node_modules/.bin/azurite-blob}"
LARGE_MIB=64

step() { printf '\n==> %s\n' "$*"; }
run() {
  printf '$ vorn-azure %s\n' "$*"
  "$CLI" "$@"
}

for tool in "$CLI" "$AZURITE_BIN"; do
  [ -x "$tool" ] || { echo "demo: $tool is missing: run ./dev setup first" >&2; exit 1; }
done

WORK="$(mktemp -d "${TMPDIR:-/tmp}/vorn-demo.XXXXXX")"
AZURITE_PID=
cleanup() {
  if [ -n "$AZURITE_PID" ]; then
    kill "$AZURITE_PID" 2>/dev/null || true
    wait "$AZURITE_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

step "Starting the storage emulator on a free loopback port"
PORT="$(/usr/bin/python -c '
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')"
"$AZURITE_BIN" --blobHost 127.0.0.1 --blobPort "$PORT" --inMemoryPersistence \
  --disableTelemetry --skipApiVersionCheck --silent --loose >"$WORK/azurite.log" 2>&1 &
AZURITE_PID=$!
for _ in $(seq 300); do
  (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break
  kill -0 "$AZURITE_PID" 2>/dev/null || { cat "$WORK/azurite.log" >&2; exit 1; }
  sleep 0.1
done
echo "Azurite listens on 127.0.0.1:$PORT"

# The emulator's development account is vorn-azure's default; only the endpoint changes.
unset AZURE_STORAGE_ACCOUNT AZURE_STORAGE_KEY AZURE_STORAGE_CONNECTION_STRING
export AZURE_BLOB_ENDPOINT="http://127.0.0.1:$PORT/devstoreaccount1"
export VORN_AZURE_CONTAINER=demo
export VORN_CONFIG_DIR="$WORK/config" VORN_CACHE_DIR="$WORK/cache"

step "Making a sample tree"
SAMPLE="$WORK/sample"
mkdir -p "$SAMPLE/docs/notes/2024" "$SAMPLE/name with spaces" "$SAMPLE/data"
echo "A sample tree for the vorn-azure demo." >"$SAMPLE/readme.txt"
for month in january february march april; do
  printf 'notes for %s\n' "$month" >"$SAMPLE/docs/notes/2024/$month.txt"
done
for i in $(seq 1 20); do
  head -c $((i * 997)) /dev/urandom >"$SAMPLE/docs/small-$i.bin"
done
echo "a file in a directory whose name has spaces" >"$SAMPLE/name with spaces/photo list.txt"
: >"$SAMPLE/data/empty"
head -c $((LARGE_MIB << 20)) /dev/urandom >"$SAMPLE/data/random.bin"
find "$SAMPLE" -type f | wc -l | xargs printf '%s files, '
du -sh "$SAMPLE" | cut -f1

step "Creating the container and an encrypted snapshot target"
run create-container
run status
# The passphrase comes from a file (or VORN_PASSWORD, or the terminal), never the command line.
printf 'demo passphrase\n' >"$WORK/passphrase"
export TARGET=demo
run --target "$TARGET" --password-file "$WORK/passphrase" init
snap() { run --target "$TARGET" --password-file "$WORK/passphrase" "$@"; }

step "First snapshot of the sample tree"
snap backup "$SAMPLE"
ORIGINAL="$WORK/original"
cp -a "$SAMPLE" "$ORIGINAL"

step "Second snapshot: one file changed, one deleted; only new content is stored"
echo "a new line for march" >>"$SAMPLE/docs/notes/2024/march.txt"
rm "$SAMPLE/docs/small-1.bin"
snap backup "$SAMPLE"
snap snapshots
OLDER="$("$CLI" --target "$TARGET" --password-file "$WORK/passphrase" snapshots --json |
  /usr/bin/python -c 'import json, sys; print(json.load(sys.stdin)[0]["id"][:8])')"
NEWER="$("$CLI" --target "$TARGET" --password-file "$WORK/passphrase" snapshots --json |
  /usr/bin/python -c 'import json, sys; print(json.load(sys.stdin)[-1]["id"][:8])')"
snap diff "$OLDER" "$NEWER"
snap ls --snapshot "$OLDER" -l docs/notes/2024

step "Restoring the older snapshot into a fresh directory and comparing every byte"
RESTORED="$WORK/restored"
snap restore --snapshot "$OLDER" "$RESTORED"
diff -r "$ORIGINAL" "$RESTORED"
echo "The restored tree is identical to the tree of the first snapshot."

step "Forgetting the older snapshot, pruning what only it needed, checking every object"
snap forget --keep-last 1
snap prune
snap check --read-data
snap snapshots
