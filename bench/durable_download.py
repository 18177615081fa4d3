"""What syncing downloads to disk costs: get of a large file and restore of many small ones.

Starts a private Azurite on a free loopback port, stores one large file and a tree of small
files, then times `vorn-azure get` and `restore` for each CLI given (to compare a build
without the sync, pass its binary too) and, when strace is installed, the wall time spent
inside fsync. Prints figures; asserts nothing about speed.

    /usr/bin/python bench/durable_download.py [--mib 1024] [--files 2000] [--cli PATH]...
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time

import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/support"))
from azurite_server import running_azurite  # noqa: E402

CLI = ROOT / "build/bin/vorn-azure"


def cli(binary, endpoint, *args, strace=None):
    env = dict(os.environ, AZURE_BLOB_ENDPOINT=endpoint)
    command = [binary, "--container", "bench", "--quiet", *args]
    if strace:
        command = ["strace", "-f", "-c", "-w", "-e", "trace=fsync", "-o", strace, *command]
    start = time.monotonic()
    subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE,
                   stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def fsync_seconds(report):
    match = re.search(r"^\s*[\d.]+\s+([\d.]+)\s+\d+\s+(\d+)\s+\d*\s*fsync$", report, re.M)
    return (float(match.group(1)), int(match.group(2))) if match else (0.0, 0)


def make_tree(root, files):
    for n in range(files):
        folder = root / f"d{n // 100}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"f{n}.txt").write_bytes(os.urandom(4096))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=1024, help="size of the large file")
    parser.add_argument("--files", type=int, default=2000, help="number of 4 KiB files")
    parser.add_argument("--cli", action="append", help="vorn-azure binaries to time")
    args = parser.parse_args()
    binaries = args.cli or [str(CLI)]
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp, running_azurite() as endpoint:
        work = pathlib.Path(tmp)
        big, tree, report = work / "big.bin", work / "tree", str(work / "strace.txt")
        with open(big, "wb") as f:
            for _ in range(args.mib):
                f.write(os.urandom(1 << 20))
        make_tree(tree, args.files)
        cli(binaries[0], endpoint, "create-container")
        target = ["--target", "bench1"]
        cli(binaries[0], endpoint, "create-target", "bench", "key")
        cli(binaries[0], endpoint, *target, "put", str(big), "big.bin")
        cli(binaries[0], endpoint, *target, "init", "--no-encryption")
        cli(binaries[0], endpoint, *target, "backup", str(tree))
        runs = [("get", [*target, "get", "big.bin", str(work / "copy.bin")], work / "copy.bin"),
                ("restore", [*target, "restore", str(work / "back")], work / "back")]
        for binary in binaries:
            for label, command, output in runs:
                wall = cli(binary, endpoint, *command)
                shutil.rmtree(output) if output.is_dir() else output.unlink()
                line = f"{binary}: {label:<8} {wall:7.2f} s"
                if shutil.which("strace"):
                    cli(binary, endpoint, *command, strace=report)
                    shutil.rmtree(output) if output.is_dir() else output.unlink()
                    seconds, calls = fsync_seconds(pathlib.Path(report).read_text())
                    line += f"   fsync: {calls} calls, {seconds:.3f} s (traced run)"
                print(line, flush=True)

if __name__ == "__main__":
    main()
