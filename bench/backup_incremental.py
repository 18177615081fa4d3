"""Snapshot figures: incremental reruns, and many small files beside rclone.

Starts a private Azurite on a free loopback port and
  1. takes snapshots of a 2,000-file tree, then again unchanged, then with one file changed
     (time and files read of each run);
  2. stores 400 files of 4 KiB with `backup --jobs 1` and `--jobs 4`, and with `rclone copy`
     (4 transfers), straight on loopback and through a delay proxy with a 40 ms round trip.
Prints figures; asserts nothing about speed.

    /usr/bin/python bench/backup_incremental.py [--rtt-ms 40] [--files 2000]
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta, timezone

from azure.storage.blob import ContainerSasPermissions, generate_container_sas

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/support"))
from azurite_server import ACCOUNT, KEY, port_of, running_azurite  # noqa: E402
from loopback_proxy import LoopbackProxy  # noqa: E402

CLI = ROOT / "build/bin/vorn-azure"

SMALL_FILES, SMALL_SIZE = 400, 4096


def make_tree(root, count, size):
    for i in range(count):
        path = root / f"d{i % 20:02d}" / f"f{i:05d}.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(os.urandom(size))


class Vorn:
    """vorn-azure on one container, against the service at `port`."""

    def __init__(self, port, home):
        self.env = dict(os.environ, AZURE_BLOB_ENDPOINT=f"http://127.0.0.1:{port}/{ACCOUNT}",
                        VORN_AZURE_CONTAINER="bench", VORN_CONFIG_DIR=str(home / "config"),
                        VORN_CACHE_DIR=str(home / "cache"),
                        # The agent of this tree, never one installed on the machine.
                        VORN_SYSROOT=str(CLI.parents[1] / "sysroot"))
        for name in ("AZURE_STORAGE_ACCOUNT", "AZURE_STORAGE_KEY", "AZURE_STORAGE_CONNECTION_STRING"):
            self.env.pop(name, None)

    def run(self, *args):
        result = subprocess.run([str(CLI), "--quiet", *map(str, args)], env=self.env,
                                capture_output=True, text=True, check=True)
        return result.stdout


def timed(action):
    start = time.monotonic()
    output = action()
    return time.monotonic() - start, output


def new_target(vorn, name):
    vorn.run("--target", name, "init", "--no-encryption")
    return name


def backup(vorn, target, tree, *options):
    """Seconds and files read (new or changed) of one snapshot."""
    seconds, output = timed(lambda: vorn.run("--target", target, "backup", "--json", *options, tree))
    summary = json.loads(output)
    return seconds, summary["files_new"] + summary["files_changed"]


def rclone_copy(port, tree, destination):
    # This rclone takes no custom endpoint, but a container SAS URL can point anywhere.
    sas = generate_container_sas(ACCOUNT, "bench", account_key=KEY,
                                 permission=ContainerSasPermissions(read=True, write=True, list=True,
                                                                    create=True, add=True),
                                 expiry=datetime.now(timezone.utc) + timedelta(hours=1))
    env = dict(os.environ, RCLONE_CONFIG_BENCH_TYPE="azureblob",
               RCLONE_CONFIG_BENCH_SAS_URL=f"http://127.0.0.1:{port}/{ACCOUNT}/bench?{sas}")
    seconds, _ = timed(lambda: subprocess.run(
        ["rclone", "copy", "--transfers", "4", str(tree), f"bench:bench/{destination}"],
        env=env, check=True, capture_output=True))
    return seconds


def incremental(vorn, work, count):
    tree = work / "tree"
    make_tree(tree, count, 1024)
    target = new_target(vorn, "incremental")
    print(f"\n{count}-file tree (1 KiB each), loopback, --jobs 4")
    first = backup(vorn, target, tree)
    print(f"  first run          {first[0]:7.2f} s  read {first[1]}")
    again = backup(vorn, target, tree)
    print(f"  unchanged rerun    {again[0]:7.2f} s  read {again[1]}  ({again[0] / first[0]:.1%} of the first)")
    (tree / "d07" / "f00007.bin").write_bytes(os.urandom(1024))
    one = backup(vorn, target, tree)
    print(f"  one file changed   {one[0]:7.2f} s  read {one[1]}")


def small_files(port, home, work, rtt_ms, label):
    tree = work / "small"
    if not tree.exists():
        make_tree(tree, SMALL_FILES, SMALL_SIZE)
    with LoopbackProxy(port, rtt_ms=rtt_ms) if rtt_ms else _Direct(port) as link:
        vorn = Vorn(link.port, home)
        print(f"\n{SMALL_FILES} files of {SMALL_SIZE // 1024} KiB, {label}")
        rates = {}
        for jobs in (1, 4):
            target = new_target(vorn, f"small{jobs}-{rtt_ms}")
            seconds, sent = backup(vorn, target, tree, "--jobs", jobs)
            rates[jobs] = sent / seconds
            print(f"  vorn-azure --jobs {jobs}  {seconds:7.2f} s  {rates[jobs]:6.1f} files/s")
        seconds = rclone_copy(link.port, tree, f"rclone{rtt_ms}")
        rclone = SMALL_FILES / seconds
        print(f"  rclone --transfers 4 {seconds:6.2f} s  {rclone:6.1f} files/s")
        print(f"  --jobs 4 / rclone: {rates[4] / rclone:.2f}x")


class _Direct:
    """No proxy: the service's own port."""

    def __init__(self, port):
        self.port = port

    def __enter__(self):
        return self

    def __exit__(self, *_):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rtt-ms", type=int, default=40, help="round trip of the simulated WAN")
    parser.add_argument("--files", type=int, default=2000, help="files in the incremental tree")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp:
        work = pathlib.Path(tmp)
        with running_azurite() as endpoint:
            port = port_of(endpoint)
            vorn = Vorn(port, work / "home")
            vorn.run("create-container")
            incremental(vorn, work, args.files)
            small_files(port, work / "home", work, 0, "loopback")
            small_files(port, work / "home", work, args.rtt_ms, f"through a proxy with {args.rtt_ms} ms RTT")


if __name__ == "__main__":
    main()
