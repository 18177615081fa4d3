"""Snapshots survive crashes: backup and prune killed at random moments leave every snapshot
restorable, a rerun reuses what was already sent, and any damaged object is caught by name."""
import hashlib
import json
import os
import random
import signal
import subprocess
import time

import pytest

from azurite_server import endpoint_at
from conftest import VORN_CLI, error_lines


def tree_digest(root):
    """Relative path -> content hash for every file below root."""
    return {str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(root.rglob("*")) if p.is_file()}


def fill(root, seed, files=40):
    rng = random.Random(seed)
    for i in range(files):
        path = root / f"d{i % 4}" / f"f{i}.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(rng.randbytes(rng.choice([100, 5000, 300_000])))
    (root / "large.bin").write_bytes(rng.randbytes(12 << 20))


@pytest.fixture
def plain(cli):
    """Runs commands on an unencrypted snapshot target "t"."""
    cli.ok("create-container")
    cli.ok("--target", "t", "init", "--no-encryption")
    return lambda *args: cli.run("--target", "t", *args)


def killed_at_random(cli, rng, *args):
    """Starts a command and kills it (SIGKILL: no clean-up at all) after a random moment."""
    process = cli.popen("--target", "t", *args)
    time.sleep(rng.uniform(0.05, 1.5))
    process.send_signal(signal.SIGKILL)
    process.wait()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_killed_backup_and_prune_leave_every_snapshot_restorable(cli, plain, tmp_path, seed):
    rng = random.Random(seed)
    source = tmp_path / "source"
    fill(source, seed)
    assert plain("backup", source).returncode == 0
    first = tree_digest(source)
    fill(source, seed + 100)  # every file changes
    for _ in range(2):
        killed_at_random(cli, rng, "backup", source)
    result = plain("backup", "--json", source)
    assert result.returncode == 0, result.stderr
    second = tree_digest(source)

    plain("forget", "--keep-last", "1")
    killed_at_random(cli, rng, "prune")
    assert plain("check").returncode == 0
    restored = tmp_path / "restored"
    assert plain("restore", restored).returncode == 0
    assert tree_digest(restored) == second
    # The older snapshot, forgotten but maybe not yet pruned, never mattered; the newer always.
    assert plain("prune").returncode == 0
    assert plain("check", "--read-data").returncode == 0
    assert first != second


def test_a_rerun_after_a_kill_sends_only_what_is_missing(cli, plain, proxy, tmp_path):
    source = tmp_path / "source"
    source.mkdir()
    (source / "big.bin").write_bytes(os.urandom(128 << 20))
    # A slow link, so the kill lands while packs are still on their way.
    slow = cli.environment(AZURE_BLOB_ENDPOINT=endpoint_at(proxy(rate=4 << 20).port))
    process = subprocess.Popen([VORN_CLI, "--target", "t", "backup", source], env=slow,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 120
    while time.time() < deadline and not list((cli.home / "cache").rglob("index/*")):
        time.sleep(0.02)
    process.send_signal(signal.SIGKILL)
    process.wait()
    assert json.loads(plain("snapshots", "--json").stdout) == []
    summary = json.loads(plain("backup", "--json", source).stdout)
    assert summary["bytes_read"] == 128 << 20
    # The packs named by the killed run's first index record are not sent again.
    assert summary["bytes_added"] <= (128 << 20) - (48 << 20)


@pytest.mark.parametrize("kind", ["data", "index", "snapshots", "keys"])
def test_a_flipped_byte_in_any_object_is_caught_by_name(cli, service, tmp_path, kind):
    password = tmp_path / "password"
    password.write_text("pw\n")
    cli.ok("create-container")

    def snap(*args):
        return cli.run("--target", "t", "--password-file", password, *args)

    assert snap("init").returncode == 0
    source = tmp_path / "source"
    fill(source, 7, files=8)
    assert snap("backup", source).returncode == 0
    container = service.get_container_client(cli.container)
    name = max((b for b in container.list_blobs(name_starts_with=f"t/{kind}/")), key=lambda b: b.size).name
    data = bytearray(container.download_blob(name).readall())
    data[len(data) // 2] ^= 0x40
    container.upload_blob(name, bytes(data), overwrite=True)

    restored = tmp_path / "restored"
    # From another machine: its cache holds no good copy of the record.
    elsewhere = cli.environment(VORN_CACHE_DIR=str(tmp_path / "other-cache"))
    result = cli.run("--target", "t", "--password-file", password, "restore", restored, env=elsewhere)
    assert result.returncode == 6, result.stderr
    stored = name.split("/", 1)[1]  # "index/ID": how the target's objects are named in reports
    assert error_lines(result) and (kind == "data" or stored in result.stderr), result.stderr
    damaged = [p for p in restored.rglob("*") if p.is_file() and p.read_bytes() != (source / p.relative_to(restored)).read_bytes()] \
        if restored.exists() else []
    assert damaged == []
    check = snap("check", "--read-data")
    assert check.returncode == 6 and stored in check.stderr, check.stderr
